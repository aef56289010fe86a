#include "app/main.h"
#include "diag/Version.h"

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

    // A platform that does not exist would abort the program as soon as it made its
    // application object, so a clean answer proves "--version" comes before it.
    void versionAnswersBeforeAnyWindow_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("alone") << QStringList{"--version"};
        QTest::newRow("after launch parameters") << QStringList{"ADR=http://h:1", "--version"};
    }

    void versionAnswersBeforeAnyWindow()
    {
        QFETCH(QStringList, arguments);
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "no-such-platform");
        program.setProcessEnvironment(environment);
        program.start(qEnvironmentVariable("UNMZ_UPLOADER"), arguments);
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QCOMPARE(
            program.readAllStandardOutput(), QByteArray("unmz-uploader ") + programVersion + "\n");
    }
};

QTEST_APPLESS_MAIN(TestProgram)
#include "tst_program.moc"
