#include "app/main.h"

#include <QProcess>
#include <QTest>

// The real program, started as a user would: it must come up and stay up.
class TestProgram : public QObject
{
    Q_OBJECT

private slots:
    void startsAndKeepsRunning_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("no parameters") << QStringList();
        QTest::newRow("address, session and odd items")
            << QStringList{"ADR=http://127.0.0.1:9", "sid=abc", "", ":", "=", "x:y:z"};
    }

    void startsAndKeepsRunning()
    {
        QFETCH(QStringList, arguments);
        QProcess program;
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        program.start(qEnvironmentVariable("UNMZ_UPLOADER"), arguments);
        QVERIFY(program.waitForStarted(10000));
        QVERIFY2(!program.waitForFinished(1500), "the program ended on its own");
        program.kill();
        program.waitForFinished(5000);
    }
};

QTEST_APPLESS_MAIN(TestProgram)
#include "tst_program.moc"
