// The upload command without a window: its steps and the outcome of each ending, the
// progress items sorted into lines, the relay of a poll's reply, the poll-skip rule and
// the job's final fetch, all through a journal double.
#include "upload/ThreadStart.h"
#include "upload/UploadCommand.h"
#include "upload/uUploadData.h"

#include "DevService.h"
#include "LogText.h"
#include "ScopedLogFolder.h"
#include "ScriptedServer.h"
#include "ShownLines.h"
#include "TestFiles.h"
#include "Watchdog.h"
#include "diag/TimeTexts.h"
#include "diag/uLogWriter.h"
#include "net/UploadService.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <thread>

Q_DECLARE_METATYPE(ScriptedServer::Script)

namespace
{

class Journal : public JournalSink
{
public:
    void addLine(JournalKind kind, const QString &text) override
    {
        lines << Shown{kind, text};
        if (onLine)
            onLine();
    }
    ShownLines lines;
    std::function<void()> onLine;
};

// Records the command's calls, and what the journal held at each.
class Face : public UploadFace
{
public:
    explicit Face(const Journal &journal)
        : m_journal(journal)
    {
    }
    void workbookAccepted() override { record("workbook"); }
    void authorisationStarted() override { record("auth"); }
    void authorisationFailed(const QString &, const FailureCause &) override { record("refused"); }
    void jobStarted() override { record("job"); }
    QStringList calls;

private:
    void record(const char *call)
    {
        calls << QStringLiteral("%1@%2").arg(QLatin1String(call)).arg(m_journal.lines.size());
    }
    const Journal &m_journal;
};

// The command, its journal and its face, with clients made as the window's start-up does.
struct Command {
    Journal journal;
    Face face{journal};
    UploadCommand command{journal, face};
    UploadRun &run = command.run();
    explicit Command(const QString &address = defaultServerAddress)
    {
        run.createClients();
        run.setServerAddress(address);
    }
};

ScriptedServer::Script slowReply(const QString &body, int ms)
{
    return {ScriptedServer::readRequest(), ScriptedServer::pause(ms),
        ScriptedServer::send(httpReply(body)), ScriptedServer::close()};
}

QString longReply(int items)
{
    static const QString markers[] = {QString(), QStringLiteral("good! "),
        QStringLiteral("warning! "), QStringLiteral("Ошибка ")};
    QString reply;
    for (int i = 0; i < items; ++i)
        reply += markers[i % 4] + QString::number(i) + u';';
    return reply;
}

} // namespace

class TestCommand : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_workbook;

private slots:
    void initTestCase()
    {
        TDataUploader::stageClosingWaitMs = 100;
        m_workbook = m_dir.filePath(QStringLiteral("Реестр УНМЗ.xlsx"));
        writeFile(m_workbook, "workbook bytes");
        writeFile(m_dir.filePath("Участок 1/План.pdf"), "%PDF-1.4 one");
        writeFile(m_dir.filePath("Участок 2/Схема.pdf"), "%PDF-1.4 two");
    }

    void outcomeOfEachEnding_data()
    {
        QTest::addColumn<QStringList>("serviceOptions");
        QTest::addColumn<QString>("workbook");
        QTest::addColumn<bool>("refuseJobThread");
        QTest::addColumn<int>("start");
        QTest::addColumn<QStringList>("faceCalls");
        QTest::addColumn<QString>("lastLine");
        QTest::addColumn<QList<int>>("counts"); // ok, workbook, delivered, failed, not sent

        QTest::newRow("not a workbook")
            << QStringList{} << "Реестр.pdf" << false << int(UploadCommand::Start::NotWorkbook)
            << QStringList{} << UploadTexts::notWorkbook << QList<int>{};
        // The front end's box comes before the journal line.
        QTest::newRow("refused authorisation") << QStringList{"--refuse-auth"} << "" << false
                                               << int(UploadCommand::Start::NotAuthorised)
                                               << QStringList{"workbook@0", "auth@0", "refused@1"}
                                               << UploadTexts::notAuthorised << QList<int>{};
        QTest::newRow("the job's thread refused")
            << QStringList{} << "" << true << int(UploadCommand::Start::Started)
            << QStringList{"workbook@0", "auth@0", "job@1"} << UploadTexts::completedWithErrors
            << QList<int>{0, 0, 0, 0, 2};
        QTest::newRow("a refused document")
            << QStringList{"--fail-load-file", QStringLiteral("Схема.pdf")} << "" << false
            << int(UploadCommand::Start::Started) << QStringList{"workbook@0", "auth@0", "job@1"}
            << UploadTexts::completedWithErrors << QList<int>{0, 1, 1, 1, 0};
        QTest::newRow("everything delivered")
            << QStringList{} << "" << false << int(UploadCommand::Start::Started)
            << QStringList{"workbook@0", "auth@0", "job@1"} << UploadTexts::completedOk
            << QList<int>{1, 1, 2, 0, 0};
    }

    void outcomeOfEachEnding()
    {
        QFETCH(QStringList, serviceOptions);
        QFETCH(QString, workbook);
        QFETCH(bool, refuseJobThread);
        QFETCH(int, start);
        QFETCH(QStringList, faceCalls);
        QFETCH(QString, lastLine);
        QFETCH(QList<int>, counts);
        Watchdog watchdog(120, "one upload command");
        const ScopedLogFolder logs;
        DevService service(serviceOptions << "--stage-seconds"
                                          << "0.2");
        QVERIFY2(service.isRunning(), qPrintable(service.output()));
        Command c(service.address());
        QSignalSpy button(&c.run, &UploadRun::uploadButtonEnabled);
        int ended = 0;
        connect(&c.command, &UploadCommand::ended, [&] { ++ended; });
        if (refuseJobThread)
            setThreadStartRefusedForTesting(
                [](const QThread &thread) { return thread.objectName() == "TDataUploader"; });
        const UploadOrder order{service.address(),
            workbook.isEmpty() ? m_workbook : m_dir.filePath(workbook), true,
            QStringLiteral("web1"), QStringLiteral("srv")};
        QCOMPARE(int(c.command.start(order)), start);
        setThreadStartRefusedForTesting({});
        QCOMPARE(c.face.calls, faceCalls);

        if (start != int(UploadCommand::Start::Started)) {
            QCOMPARE(c.journal.lines.last(), (Shown{JournalKind::Error, lastLine}));
            QTest::qWait(100);
            QCOMPARE(ended, 0);
            QVERIFY(!c.run.jobActive());
            // The upload may be asked for again.
            QVERIFY(button.isEmpty() || button.last().first().toBool());
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(ended, 1, 30000);
        const UploadOutcome outcome = c.command.lastOutcome();
        // The outcome comes before the completion line, which the front end asks for.
        QVERIFY(c.journal.lines.last().text != lastLine);
        QCOMPARE(c.command.completionNotice(), std::optional<bool>(counts[0] == 1));
        QCOMPARE(c.journal.lines.last().text, lastLine);
        QCOMPARE((QList<int>{outcome.ok, outcome.workbookDelivered, outcome.delivered,
                     outcome.failed, outcome.notSent}),
            counts);
        QCOMPARE(outcome.failedDocuments.size(), outcome.failed);
        if (outcome.failed > 0)
            QCOMPARE(outcome.failedDocuments.first().relativePath,
                QStringLiteral("Участок 2/Схема.pdf"));
        QVERIFY(!outcome.reportPath.isEmpty());
        QCOMPARE(outcome.reportPath, c.run.lastReportPath());
        QTest::qWait(100);
        QCOMPARE(ended, 1);
    }

    // The report's workbook row: result and the reply or reason, however the post ended.
    void workbookRowOfTheReport_data()
    {
        QTest::addColumn<ScriptedServer::Script>("workbookPost");
        QTest::addColumn<QString>("row"); // after the path and size
        QTest::newRow("accepted") << ScriptedServer::reply(httpReply("success")) << "передан;";
        QTest::newRow("refused") << ScriptedServer::reply(httpReply("нет места"))
                                 << "ошибка;нет места";
        QTest::newRow("reply cut short")
            << ScriptedServer::Script{ScriptedServer::readRequest(),
                   ScriptedServer::send("HTTP/1.0 200 OK\r\nContent-Length: 7\r\n\r\nsucc"),
                   ScriptedServer::close()}
            << "ошибка;ответ сервера оборван (4 из 7 байт): реестр мог быть принят";
        QTest::newRow("never answered") << ScriptedServer::Script{ScriptedServer::readRequest(),
            ScriptedServer::holdOpen()} << "ошибка;Read timed out.";
    }

    void workbookRowOfTheReport()
    {
        QFETCH(ScriptedServer::Script, workbookPost);
        QFETCH(QString, row);
        Watchdog watchdog(60, "a job whose workbook post ends in many ways");
        const ScopedLogFolder logs;
        ScriptedServer server;
        server.addScript(ScriptedServer::reply(httpReply("S-1")));
        server.addScript(workbookPost);
        server.addScript(ScriptedServer::reply(httpReply("нет")));
        Journal journal;
        Face face(journal);
        UploadCommand command(journal, face);
        command.run().setTimeouts(0, 300);
        command.run().createClients();
        int ended = 0;
        connect(&command, &UploadCommand::ended, [&] { ++ended; });
        QCOMPARE(command.start({server.url(QString()), m_workbook, false, {}, {}}),
            UploadCommand::Start::Started);
        QTRY_COMPARE_WITH_TIMEOUT(ended, 1, 20000);
        QFile report(command.lastOutcome().reportPath);
        QVERIFY(report.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(report.readAll());
        report.remove();
        const QString workbookRow = text.section(QStringLiteral("\r\n"), 2, 2);
        QVERIFY2(workbookRow.section(u';', 3).startsWith(row), qPrintable(workbookRow));
    }

    void classify_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<bool>("complete");
        QTest::addColumn<JournalKind>("kind");
        QTest::addColumn<QString>("text");

        const auto plain = JournalKind::Plain;
        const auto ok = JournalKind::Ok;
        const auto warning = JournalKind::Warning;
        const auto error = JournalKind::Error;
        QTest::newRow("end marker") << "complete!" << true << plain << "";
        QTest::newRow("end marker in capitals") << "COMPLETE!" << true << plain << "";
        QTest::newRow("end marker in mixed case") << "Complete!" << true << plain << "";
        QTest::newRow("end marker with a leading space is a plain line")
            << " complete!" << false << plain << " complete!";
        QTest::newRow("end marker with a line break is a plain line")
            << "complete!\n"
            << false << plain << "complete!\n";
        QTest::newRow("end marker with more after it")
            << "complete!!" << false << plain << "complete!!";
        QTest::newRow("error word") << "Ошибка в строке 3" << false << error << "Ошибка в строке 3";
        QTest::newRow("error word in capitals")
            << "ОШИБКА: нет листа" << false << error << "ОШИБКА: нет листа";
        QTest::newRow("errors word") << "Найдено 5 ошибок" << false << error << "Найдено 5 ошибок";
        QTest::newRow("error word beats good marker")
            << "good! ошибка исправлена" << false << error << "good! ошибка исправлена";
        QTest::newRow("error word beats warning marker")
            << "warning! ошибок нет" << false << error << "warning! ошибок нет";
        QTest::newRow("warning marker removed")
            << "warning! пустая строка" << false << warning << "пустая строка";
        QTest::newRow("warning marker twice, both removed")
            << "warning! a warning! b" << false << warning << "a b";
        QTest::newRow("warning marker in capitals stays")
            << "WARNING! x" << false << warning << "WARNING! x";
        QTest::newRow("only the lower-case marker goes")
            << "Warning! warning! x" << false << warning << "Warning! x";
        QTest::newRow("warning beats good") << "warning! good! x" << false << warning << "good! x";
        QTest::newRow("warning without its space is plain")
            << "warning!x" << false << plain << "warning!x";
        QTest::newRow("good marker removed")
            << "good! Строка 2 загружена" << false << ok << "Строка 2 загружена";
        QTest::newRow("good marker in capitals stays") << "GOOD! y" << false << ok << "GOOD! y";
        QTest::newRow("good marker inside the text")
            << "row good! done" << false << ok << "row done";
        QTest::newRow("empty item is a plain empty line") << "" << false << plain << "";
        QTest::newRow("anything else is plain")
            << "Обработка листа 1" << false << plain << "Обработка листа 1";
    }

    void classify()
    {
        QFETCH(QString, item);
        QFETCH(bool, complete);
        QFETCH(JournalKind, kind);
        QFETCH(QString, text);
        const ProgressLine line = classifyProgressItem(item);
        QCOMPARE(line.complete, complete);
        if (!complete) {
            QCOMPARE(line.kind, kind);
            QCOMPARE(line.text, text);
        }
    }

    void lineText_data()
    {
        QTest::addColumn<QString>("date");
        QTest::addColumn<QString>("time");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("expected");

        QTest::newRow("number, date, time and message") << "01.02.2024"
                                                        << "14:03:07"
                                                        << "Старт"
                                                        << "7. 01.02.2024 14:03:07 Старт";
        QTest::newRow("trailing blanks and line breaks of the message disappear") << "d"
                                                                                  << "t"
                                                                                  << "x \r\n\t "
                                                                                  << "7. d t x";
        QTest::newRow("leading blanks of the message stay") << "d"
                                                            << "t"
                                                            << "   x"
                                                            << "7. d t    x";
        QTest::newRow("empty message leaves no trailing blank") << "d"
                                                                << "t"
                                                                << ""
                                                                << "7. d t";
        QTest::newRow("date and time are trimmed before they go in") << " d\t"
                                                                     << "\x01t "
                                                                     << "x"
                                                                     << "7. d t x";
        QTest::newRow("control characters count as blanks at the ends")
            << "d"
            << "t" << QStringLiteral("x\x1f\x7f") << QStringLiteral("7. d t x\x1f\x7f");
        QTest::newRow("a no-break space is not trimmed")
            << "d"
            << "t" << QStringLiteral("x\u00a0") << QStringLiteral("7. d t x\u00a0");
    }

    void lineText()
    {
        QFETCH(QString, date);
        QFETCH(QString, time);
        QFETCH(QString, message);
        QFETCH(QString, expected);
        QCOMPARE(journalLineText(7, date, time, message), expected);
    }

    // A named locale keeps the user's formats; C and POSIX read as in Russia.
    void stamps_data()
    {
        QTest::addColumn<QDateTime>("time");
        QTest::addColumn<bool>("cLocale");
        QTest::addColumn<QString>("date");
        QTest::addColumn<QString>("clock");
        const QDateTime early(QDate(2026, 3, 4), QTime(5, 6, 7));
        QTest::newRow("C locale, leading zeros") << early << true << "04.03.2026"
                                                 << "05:06:07";
        QTest::newRow("C locale, a year's last second")
            << QDateTime(QDate(2026, 12, 31), QTime(23, 59, 59)) << true << "31.12.2026"
            << "23:59:59";
        QTest::newRow("a named locale: its own formats")
            << early << false << shortDateText(early.date()) << longTimeText(early.time());
    }

    void stamps()
    {
        QFETCH(QDateTime, time);
        QFETCH(bool, cLocale);
        QFETCH(QString, date);
        QFETCH(QString, clock);
        QCOMPARE(journalStampTexts(time, cLocale), std::pair(date, clock));
    }

    void relay_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<ShownLines>("lines");
        QTest::addColumn<bool>("pollsGoOn");

        const auto plain = JournalKind::Plain;
        QTest::newRow("every kind, in order")
            << "Начало;good! принят;warning! пусто;Ошибка чтения"
            << ShownLines{{plain, "Начало"}, {JournalKind::Ok, "принят"},
                   {JournalKind::Warning, "пусто"}, {JournalKind::Error, "Ошибка чтения"}}
            << true;
        QTest::newRow("complete! alone stops the polls and shows nothing")
            << "complete!" << ShownLines{} << false;
        QTest::newRow("items after complete! are still shown")
            << "a;Complete!;b" << ShownLines{{plain, "a"}, {plain, "b"}} << false;
        QTest::newRow("adjacent separators give an empty line")
            << "a;;b" << ShownLines{{plain, "a"}, {plain, ""}, {plain, "b"}} << true;
        QTest::newRow("leading separator gives an empty first line")
            << ";a" << ShownLines{{plain, ""}, {plain, "a"}} << true;
        QTest::newRow("trailing separator gives no line")
            << "a;" << ShownLines{{plain, "a"}} << true;
        QTest::newRow("empty reply: no line, polls go on") << "" << ShownLines{} << true;
        QTest::newRow("markup in an item stays text")
            << "<b>x</b>" << ShownLines{{plain, "<b>x</b>"}} << true;
    }

    void relay()
    {
        QFETCH(QString, reply);
        QFETCH(ShownLines, lines);
        QFETCH(bool, pollsGoOn);

        ScriptedServer server;
        server.addScript(ScriptedServer::reply(httpReply(reply)));
        Command c(server.url(QString()));
        c.run.pollTimer->start();
        c.command.pollTick();
        QTRY_VERIFY(!c.run.fetchInProgress());
        QCOMPARE(c.journal.lines, lines);
        QCOMPARE(c.run.pollTimer->isActive(), pollsGoOn);
        QCOMPARE(server.connectionCount(), 1);
    }

    void tickDuringSlowFetchStartsNone()
    {
        ScriptedServer server;
        server.addScript(slowReply(QStringLiteral("slow"), 800));
        Command c(server.url(QString()));
        bool tickedMeanwhile = false;
        QTimer::singleShot(200, &c.command, [&] {
            c.command.pollTick(); // this tick finds the fetch in progress
            tickedMeanwhile = true;
        });
        c.command.pollTick();
        QTRY_VERIFY(tickedMeanwhile);
        QTRY_VERIFY(!c.run.fetchInProgress());
        QCOMPARE(server.connectionCount(), 1);
        QCOMPARE(c.journal.lines, (ShownLines{{JournalKind::Plain, "slow"}}));

        c.command.pollTick(); // idle again: the next tick fetches
        QTRY_VERIFY(!c.run.fetchInProgress());
        QCOMPARE(server.connectionCount(), 2);
    }

    void finalFetchWaitsForPollAndReturnsWithItsLines()
    {
        ScriptedServer server;
        server.addScript(slowReply(QStringLiteral("poll"), 600));
        server.addScript(ScriptedServer::reply(httpReply(QStringLiteral("final;complete!"))));
        Command c(server.url(QString()));
        std::atomic<bool> finalDone{false};
        std::thread job;
        QTimer::singleShot(100, &c.command, [&] {
            job = std::thread([&] {
                c.run.runFinalFetch();
                finalDone = true;
            });
        });
        c.command.pollTick();
        QTRY_VERIFY_WITH_TIMEOUT(finalDone.load(), 10000);
        job.join();
        QCOMPARE(server.connectionCount(), 2);
        // Never two fetches on the poll client at once: the final one came after the poll.
        QCOMPARE(c.journal.lines,
            (ShownLines{{JournalKind::Plain, "poll"}, {JournalKind::Plain, "final"}}));
        QVERIFY(!c.run.pollTimer->isActive());
    }

    void finalFetchCutShortAtExitIsNotLogged()
    {
        const ScopedLogFolder logs;
        ScriptedServer server;
        server.addScript({ScriptedServer::readRequest(), ScriptedServer::holdOpen(30000)});
        Command c(server.url(QString()));
        std::atomic<bool> finalDone{false};
        std::thread job([&] {
            c.run.runFinalFetch();
            finalDone = true;
        });
        QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), 1, 10000);
        c.run.abandon();
        QTRY_VERIFY_WITH_TIMEOUT(finalDone.load(), 5000);
        job.join();
        QCOMPARE(logText(logs.path()), QString());
    }

    void finalFetchReturnsAfterItsLastLineAndJobEffectsWait()
    {
        const Watchdog watchdog(300, "the job's final fetch of a long reply");
        constexpr int items = 20000;
        ScriptedServer server;
        server.addScript(ScriptedServer::reply(httpReply(longReply(items))));
        Command c(server.url(QString()));
        std::atomic<bool> finalDone{false};
        int returnedEarly = 0;
        std::thread job([&] {
            c.run.runFinalFetch();
            finalDone = true;
        });
        // A line the job asks for while the reply is shown comes after the reply's lines.
        c.journal.onLine = [&] {
            if (finalDone && c.journal.lines.size() < items)
                ++returnedEarly;
            if (c.journal.lines.size() == 1) {
                QVERIFY(c.run.relayInProgress());
                std::thread([&] { c.run.jobLine(UploadJobHost::LineKind::Error, "job"); }).join();
            }
        };
        QTRY_VERIFY_WITH_TIMEOUT(finalDone.load(), 240000);
        job.join();
        QTRY_COMPARE(c.journal.lines.size(), items + 1);
        c.journal.onLine = {};

        QCOMPARE(returnedEarly, 0);
        QCOMPARE(c.journal.lines.at(items - 1).text, "Ошибка " + QString::number(items - 1));
        QCOMPARE(c.journal.lines.last(), (Shown{JournalKind::Error, "job"}));
    }

    void itemsAreReadAsTheReplyIsCut_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::newRow("empty reply") << QString();
        for (const char *reply : {"a", "a;b", "a;;b", ";a", "a;", ";", ";;", "a;b;;", ";;a;;"})
            QTest::newRow(reply) << QString::fromLatin1(reply);
    }

    void itemsAreReadAsTheReplyIsCut()
    {
        QFETCH(QString, reply);
        ProgressItemReader reader(reply);
        QStringList items;
        while (!reader.atEnd())
            items << reader.next();
        QCOMPARE(items, UploadService::progressItems(reply));
    }
};

QTEST_GUILESS_MAIN(TestCommand)
#include "tst_command.moc"
