#include "diag/uLogWriter.h"

#include "diag/Exception.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <thread>
#include <unistd.h>

class TestLogWriter : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_folder;

    QByteArray read(const QString &name) const
    {
        QFile file(m_folder + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void init()
    {
        const QString run = m_dir.path()
            + QStringLiteral("/%1-%2").arg(QTest::currentTestFunction(),
                QString::number(qHash(QString(QTest::currentDataTag()))));
        QDir().mkpath(run);
        m_folder = run + QStringLiteral("/logs/");
        setLogFolderForTesting(m_folder);
        setLogClockForTesting([] { return QDateTime(QDate(2022, 3, 31), QTime(14, 3, 7)); });
    }

    void cleanup()
    {
        setLogFolderForTesting({});
        setLogClockForTesting({});
    }

    void workedExampleByteForByte()
    {
        const Exception failure(QStringLiteral("Connection Closed Gracefully."));
        AddErrInfo("TDataUploader.Execute: ", &failure);
        QCOMPARE(read("20220331.err"),
            QByteArray("14:03:07 TDataUploader.Execute:  -> : Connection Closed Gracefully.\r\n"));
    }

    void russianMessageInWindows1251()
    {
        const Exception failure(QString::fromUtf8("Нет файла \u20AC\u4E2D"));
        AddErrInfo("oneFolderUp", &failure);
        // "Нет файла " in windows-1251, the euro sign exists there (0x88), the CJK one does not.
        QCOMPARE(read("20220331.err"),
            QByteArray("14:03:07 oneFolderUp -> : \xCD\xE5\xF2 \xF4\xE0\xE9\xEB\xE0 \x88?\r\n"));
    }

    void noFailureObjectGivesEmptyMessage()
    {
        AddErrInfo("TForm1.N2Click: ", nullptr);
        QCOMPARE(read("20220331.err"), QByteArray("14:03:07 TForm1.N2Click:  -> : \r\n"));
    }

    void routing_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("file");
        QTest::newRow("Socket error anywhere goes to the network log")
            << "send: Socket error in the middle"
            << "net.log";
        QTest::newRow("Socket Error with capital E goes to the daily log")
            << "Socket Error # 10061\r\nConnection refused."
            << "20220331.err";
        QTest::newRow("lower-case socket error goes to the daily log") << "socket error"
                                                                       << "20220331.err";
    }

    void routing()
    {
        QFETCH(QString, message);
        QFETCH(QString, file);
        const Exception failure(message);
        AddErrInfo("TForm1.getLogFromServer: ", &failure);
        QVERIFY(read(file).endsWith(message.toLatin1() + "\r\n"));
        const QStringList written = QDir(m_folder).entryList(QDir::Files);
        QCOMPARE(written, QStringList{file});
    }

    void firstAndSecondFailureOfADay()
    {
        const Exception first(QStringLiteral("one")), second(QStringLiteral("two"));
        AddErrInfo("A: ", &first);
        QVERIFY(QFile::exists(m_folder + "20220331.err"));
        AddErrInfo("B: ", &second);
        QCOMPARE(
            read("20220331.err"), QByteArray("14:03:07 A:  -> : one\r\n14:03:07 B:  -> : two\r\n"));
    }

    void dateIsReadOnceAtTheStart()
    {
        // The first clock reading is just before midnight, the line is built after it.
        int calls = 0;
        setLogClockForTesting([&calls] {
            return ++calls == 1 ? QDateTime(QDate(2022, 12, 31), QTime(23, 59, 59, 999))
                                : QDateTime(QDate(2023, 1, 1), QTime(0, 0, 0));
        });
        const Exception failure(QStringLiteral("late"));
        AddErrInfo("T: ", &failure);
        QCOMPARE(read("20221231.err"), QByteArray("00:00:00 T:  -> : late\r\n"));
    }

    void concurrentWritersNeverTearLines()
    {
        setLogClockForTesting({});
        const QString message = QString(200, u'x');
        auto writer = [&message](const char *place) {
            const Exception failure(message);
            for (int i = 0; i < 5000; ++i)
                AddErrInfo(place, &failure);
        };
        std::thread a(writer, "ThreadA: "), b(writer, "ThreadB: ");
        a.join();
        b.join();
        QByteArray all;
        for (const QString &name : QDir(m_folder).entryList(QDir::Files))
            all += read(name);
        const QList<QByteArray> lines = all.split('\n');
        QCOMPARE(lines.size(), 10001); // the last split piece is empty
        int fromA = 0;
        for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
            const QByteArray &line = lines.at(i);
            QVERIFY2(line.endsWith(" -> : " + message.toLatin1() + "\r"), line.constData());
            fromA += line.contains("ThreadA: ");
        }
        QCOMPARE(fromA, 5000);
    }

    void folderThatCannotBeCreatedThrowsAndWritesNothing()
    {
        // Only the last level is created: a missing parent makes the folder impossible.
        const QString folder = m_dir.path() + QStringLiteral("/missing/parent/logs/");
        setLogFolderForTesting(folder);
        const Exception failure(QStringLiteral("x"));
        try {
            AddErrInfo("T: ", &failure);
            QFAIL("expected EInOutError");
        } catch (const EInOutError &error) {
            QCOMPARE(error.errorCode(), ENOENT);
        }
        QVERIFY(!QDir(m_dir.path() + QStringLiteral("/missing")).exists());
        // The guard swallows it, so a handler's own failure path never ends the process.
        QVERIFY(!guarded("T: ", [] { throw Exception(QStringLiteral("y")); }));
    }

    void fileWhereTheFolderShouldBeThrows()
    {
        QDir().mkpath(m_folder.chopped(6)); // the parent of "logs/"
        QFile blocker(m_folder.chopped(1));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const Exception failure(QStringLiteral("x"));
        QVERIFY_THROWS_EXCEPTION(EInOutError, AddErrInfo("T: ", &failure));
    }

    void timeTextLosesOnlyBlanksAndControls()
    {
        // A no-break space is no blank to trim: only code units up to 32 go.
        QCOMPARE(logLine(QString::fromUtf8("\t 14:03:07\u00A0\r"), "P: ", QStringLiteral("m")),
            QString::fromUtf8("14:03:07\u00A0 P:  -> : m\r\n"));
    }

    void installedProgramLogsToTheStateFolder_data()
    {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QString>("stateHome");
        QTest::addColumn<bool>("besideWritable");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("makeParents");
        const QString xdg = QStringLiteral("/home/u/.local/state/unmz-uploader/logs/");
        QTest::newRow("under /usr: state folder, even when writable (root)")
            << "/usr/bin/unmz-uploader"
            << "" << true << xdg << true;
        QTest::newRow("under /opt") << "/opt/unmz/bin/unmz-uploader"
                                    << "" << true << xdg << true;
        QTest::newRow("XDG_STATE_HOME set")
            << "/usr/bin/unmz-uploader"
            << "/var/st" << true << "/var/st/unmz-uploader/logs/" << true;
        QTest::newRow("relative XDG_STATE_HOME is ignored") << "/usr/bin/unmz-uploader"
                                                            << "st" << true << xdg << true;
        QTest::newRow("a copy elsewhere, writable: beside itself")
            << "/home/u/prog/unmz-uploader"
            << "" << true << "/home/u/prog/logs/" << false;
        QTest::newRow("a copy elsewhere, read-only: state folder") << "/media/cd/unmz-uploader"
                                                                   << "" << false << xdg << true;
        QTest::newRow("/usrx is not /usr") << "/usrx/unmz-uploader"
                                           << "" << true << "/usrx/logs/" << false;
    }

    void installedProgramLogsToTheStateFolder()
    {
        QFETCH(QString, executable);
        QFETCH(QString, stateHome);
        QFETCH(bool, besideWritable);
        const LogPlacement placement = chooseLogFolder(executable, stateHome,
            QStringLiteral("/home/u"), [&](const QString &) { return besideWritable; });
        QTEST(placement.folder, "folder");
        QTEST(placement.makeParents, "makeParents");
    }

    void aFileNamedLogsBesideACopySendsTheLogToTheStateFolder_data()
    {
        QTest::addColumn<QString>("standing"); // what is named "logs" beside the copy
        QTest::addColumn<bool>("beside");
        QTest::newRow("nothing: made beside") << "" << true;
        QTest::newRow("a folder") << "folder" << true;
        QTest::newRow("a link to a folder") << "link to folder" << true;
        QTest::newRow("a file") << "file" << false;
        QTest::newRow("a dangling link") << "dangling link" << false;
    }

    void aFileNamedLogsBesideACopySendsTheLogToTheStateFolder()
    {
        QFETCH(QString, standing);
        QFETCH(bool, beside);
        // m_folder is "<run>/logs/": the copy lives in <run>, its state home below it.
        const QString run = m_folder.chopped(6);
        const QString logs = run + QStringLiteral("/logs");
        const QByteArray logsName = QFile::encodeName(logs);
        if (standing == "folder")
            QVERIFY(QDir().mkpath(logs));
        else if (standing == "link to folder")
            QVERIFY(QDir().mkpath(run + QStringLiteral("/elsewhere"))
                && ::symlink("elsewhere", logsName.constData()) == 0);
        else if (standing == "file")
            QVERIFY(QFile(logs).open(QIODevice::WriteOnly));
        else if (standing == "dangling link")
            QVERIFY(::symlink("missing", logsName.constData()) == 0);

        const QString xdg = run + QStringLiteral("/state/unmz-uploader/logs/");
        const LogPlacement placement = chooseLogFolder(run + QStringLiteral("/unmz-uploader"),
            run + QStringLiteral("/state"), QStringLiteral("/home/u"),
            [](const QString &) { return true; });
        QCOMPARE(placement.folder, beside ? logs + u'/' : xdg);
        QCOMPARE(placement.makeParents, !beside);

        // The line reaches the chosen folder rather than being lost to ENOTDIR.
        setLogPlacementForTesting(placement);
        const Exception failure(QStringLiteral("x"));
        AddErrInfo("T: ", &failure);
        QVERIFY(QFileInfo::exists(placement.folder + QStringLiteral("20220331.err")));
    }

    void stateFolderIsMadeWithEveryLevel()
    {
        // On a new account not even ~/.local/state exists: every level is made.
        const QString folder
            = m_dir.path() + QStringLiteral("/home/.local/state/unmz-uploader/logs/");
        setLogPlacementForTesting({folder, true});
        const Exception failure(QStringLiteral("x"));
        AddErrInfo("T: ", &failure);
        QVERIFY(QFileInfo::exists(folder + QStringLiteral("20220331.err")));
    }

    void controlCharactersNeverForgeALine_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("logged");
        QTest::newRow("bare CR from a status line")
            << QStringLiteral("HTTP/1.0 500 x\r14:00:00 Forged")
            << QStringLiteral("HTTP/1.0 500 x\\x0D14:00:00 Forged");
        QTest::newRow("LF, tab, DEL")
            << QStringLiteral("a\nb\tc\x7F") << QStringLiteral("a\\x0Ab\\x09c\\x7F");
        QTest::newRow("socket error keeps its own line break")
            << QStringLiteral("Socket Error # 10061\r\nConnection refused.\r\n")
            << QStringLiteral("Socket Error # 10061\r\nConnection refused.\\x0D\\x0A");
        QTest::newRow("a line break elsewhere is no socket error's") << QStringLiteral(
            "x Socket Error # 1\r\ny") << QStringLiteral("x Socket Error # 1\\x0D\\x0Ay");
        QTest::newRow("Cyrillic and no-break space stay")
            << QString::fromUtf8("Нет\u00A0файла") << QString::fromUtf8("Нет\u00A0файла");
    }

    void controlCharactersNeverForgeALine()
    {
        QFETCH(QString, message);
        QTEST(sanitizedLogMessage(message), "logged");
    }

    void longMessageIsCutWithAMarker()
    {
        QCOMPARE(
            sanitizedLogMessage(QString(MaxLoggedMessage, u'a')), QString(MaxLoggedMessage, u'a'));
        const QString cut = sanitizedLogMessage(QString(MaxLoggedMessage + 1, u'a'));
        QCOMPARE(cut, QString(MaxLoggedMessage, u'a') + " [1 more characters not logged]");
        // End to end: one 16 KB status line is one capped line in the file.
        const Exception failure(QString(16384, u'x') + "\r\nSecond");
        AddErrInfo("T: ", &failure);
        const QByteArray written = read("20220331.err");
        QCOMPARE(written.count('\n'), 1);
        QVERIFY(written.size() < MaxLoggedMessage + 100);
    }

    void unopenableFileIsSilentlySkipped()
    {
        QDir().mkpath(m_folder);
        QDir().mkpath(m_folder + "20220331.err"); // a folder where the file should be
        const Exception failure(QStringLiteral("x"));
        AddErrInfo("T: ", &failure); // no throw
        QVERIFY(QFileInfo(m_folder + "20220331.err").isDir());
    }
};

QTEST_APPLESS_MAIN(TestLogWriter)
#include "tst_logwriter.moc"
