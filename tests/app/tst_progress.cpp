#include "app/Journal.h"

#include "app/MessageBoxes.h"
#include "app/main.h"
#include "diag/uLogWriter.h"
#include "net/UploadService.h"
#include "support/LogText.h"
#include "support/ScriptedServer.h"
#include "support/Watchdog.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>

#include <thread>

Q_DECLARE_METATYPE(JournalKind)

namespace
{

struct Shown {
    JournalKind kind;
    QString text;
    bool operator==(const Shown &other) const = default;
};
using ShownLines = QList<Shown>;

char *toString(const Shown &line)
{
    return QTest::toString(QStringLiteral("%1:%2").arg(int(line.kind)).arg(line.text));
}

QByteArray httpReply(const QString &body)
{
    const QByteArray bytes = body.toUtf8();
    return "HTTP/1.0 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: "
        + QByteArray::number(bytes.size()) + "\r\n\r\n" + bytes;
}

ScriptedServer::Script slowReply(const QString &body, int ms)
{
    return {ScriptedServer::readRequest(), ScriptedServer::pause(ms),
        ScriptedServer::send(httpReply(body)), ScriptedServer::close()};
}

// The journal's lines, each with its kind told by its colour, and its message (the text
// after "N. d t ").
ShownLines journal(const TForm1 &form)
{
    ShownLines lines;
    const QTextDocument *document = form.reMessages->document();
    if (document->isEmpty())
        return lines;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        const QTextCharFormat format = block.begin().fragment().charFormat();
        JournalKind kind = JournalKind::Plain;
        if (format.hasProperty(QTextFormat::ForegroundBrush)) {
            const QRgb rgb = format.foreground().color().rgb() & 0xFFFFFF;
            kind = rgb == okLineRgb     ? JournalKind::Ok
                : rgb == warningLineRgb ? JournalKind::Warning
                                        : JournalKind::Error;
        }
        const QString prefix = QString::number(lines.size() + 1) + QStringLiteral(". d t");
        QString text = block.text();
        if (!text.startsWith(prefix))
            return {{JournalKind::Plain, QStringLiteral("bad line: ") + text}};
        text = text.mid(prefix.size() + 1);
        lines << Shown{kind, text};
    }
    return lines;
}

// A reply many relay slices long, every kind of line in turn. The sanitizer build runs
// many times slower: a shorter reply does there.
#if defined(__SANITIZE_ADDRESS__)
constexpr int longReplyItems = 20000;
#else
constexpr int longReplyItems = 150000;
#endif

QString longReply(int items)
{
    static const QString markers[] = {QString(), QStringLiteral("good! "),
        QStringLiteral("warning! "), QStringLiteral("Ошибка ")};
    QString reply;
    for (int i = 0; i < items; ++i)
        reply += markers[i % 4] + QString::number(i) + u';';
    return reply;
}

int shownLines(const TForm1 &form)
{
    const QTextDocument *document = form.reMessages->document();
    return document->isEmpty() ? 0 : document->blockCount();
}

} // namespace

class TestProgress : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void classify_data();
    void classify();

    void relay_data();
    void relay();
    void fetchPostsProgressWithSessionToTheAddressField();
    void transportFailureIsLoggedAndChangesNothing();
    void pollsStopAtCompleteAndLaterItemsAreShown();
    void tickDuringSlowFetchStartsNone();
    void finalFetchWaitsForPollAndReturnsWithItsLines();
    void closingDuringAFetchEndsAtOnce();
    void finalFetchCutShortAtExitIsNotLogged();
    void itemsAreReadAsTheReplyIsCut_data();
    void itemsAreReadAsTheReplyIsCut();
    void eventsAreHandledWhileALongReplyIsRelayed();
    void finalFetchReturnsAfterItsLastLineAndJobEffectsWait();
    void closingDuringARelayEndsAtOnce();

    void notice_data();
    void notice();
    void noticeWaitsWhileJobRuns();

private:
    QTemporaryDir m_logs;
};

void TestProgress::initTestCase()
{
    QVERIFY(m_logs.isValid());
    setLogFolderForTesting(m_logs.path() + u'/');
    TForm1::setJournalStampForTesting([] {
        return std::pair{QStringLiteral("d"), QStringLiteral("t")};
    });
}

void TestProgress::classify_data()
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
    QTest::newRow("good marker inside the text") << "row good! done" << false << ok << "row done";
    QTest::newRow("empty item is a plain empty line") << "" << false << plain << "";
    QTest::newRow("anything else is plain")
        << "Обработка листа 1" << false << plain << "Обработка листа 1";
}

void TestProgress::classify()
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

void TestProgress::relay_data()
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
    QTest::newRow("trailing separator gives no line") << "a;" << ShownLines{{plain, "a"}} << true;
    QTest::newRow("empty reply: no line, polls go on") << "" << ShownLines{} << true;
    QTest::newRow("markup in an item stays text")
        << "<b>x</b>" << ShownLines{{plain, "<b>x</b>"}} << true;
}

void TestProgress::relay()
{
    QFETCH(QString, reply);
    QFETCH(ShownLines, lines);
    QFETCH(bool, pollsGoOn);

    ScriptedServer server;
    server.addScript(ScriptedServer::reply(httpReply(reply)));
    TForm1 form;
    form.edtServer->setText(server.url(QString()));
    form.Timer1->start();
    form.Timer1Timer();
    QTRY_VERIFY(!form.uploadRun().fetchInProgress());
    QCOMPARE(journal(form), lines);
    QCOMPARE(form.Timer1->isActive(), pollsGoOn);
    QCOMPARE(server.connectionCount(), 1);
}

void TestProgress::fetchPostsProgressWithSessionToTheAddressField()
{
    ScriptedServer server;
    server.addScript(ScriptedServer::reply(httpReply(QStringLiteral("x"))));
    TForm1 form;
    form.uploadRun().setSessionId(QStringLiteral("S-42"));
    form.edtServer->setText(server.url(QString())); // typed after start-up: used as is
    form.getLogFromServer();
    QTRY_VERIFY(!form.uploadRun().fetchInProgress());
    QCOMPARE(server.connectionCount(), 1);
    const QByteArray request = server.request(0);
    QVERIFY2(request.startsWith("POST ") && request.contains("/QuorvelFiles HTTP/1.0\r\n"),
        request.constData());
    const qsizetype action = request.indexOf("name=\"action\"");
    const qsizetype sid = request.indexOf("name=\"sid\"");
    QVERIFY(action > 0 && sid > action);
    QVERIFY(request.indexOf("progress", action) < sid);
    QVERIFY(request.indexOf("S-42", sid) > sid);
    QCOMPARE(journal(form), (ShownLines{{JournalKind::Plain, "x"}}));
}

void TestProgress::transportFailureIsLoggedAndChangesNothing()
{
    ScriptedServer server;
    server.addScript({ScriptedServer::readRequest(), ScriptedServer::reset()});
    TForm1 form;
    form.addMessage(QStringLiteral("before"));
    form.edtServer->setText(server.url(QString()));
    form.Timer1->start();
    form.Timer1Timer();
    QTRY_VERIFY(!form.uploadRun().fetchInProgress());
    QCOMPARE(journal(form), (ShownLines{{JournalKind::Plain, "before"}}));
    QVERIFY(form.Timer1->isActive());
    QVERIFY(logText(m_logs.path()).contains(QStringLiteral("TForm1.getLogFromServer: ")));

    // The next tick tries again.
    ScriptedServer next;
    next.addScript(ScriptedServer::reply(httpReply(QStringLiteral("again"))));
    form.edtServer->setText(next.url(QString()));
    form.Timer1Timer();
    QTRY_VERIFY(!form.uploadRun().fetchInProgress());
    QCOMPARE(journal(form).size(), 2);
}

void TestProgress::pollsStopAtCompleteAndLaterItemsAreShown()
{
    ScriptedServer server;
    server.addScript(ScriptedServer::reply(httpReply(QStringLiteral("first"))));
    server.addScript(ScriptedServer::reply(httpReply(QStringLiteral("second;complete!;third"))));
    TForm1 form;
    form.edtServer->setText(server.url(QString()));
    form.Timer1->setInterval(50);
    form.Timer1->start();
    QTRY_VERIFY_WITH_TIMEOUT(!form.Timer1->isActive(), 10000);
    QTest::qWait(200); // no further tick
    QCOMPARE(server.connectionCount(), 2);
    QCOMPARE(journal(form),
        (ShownLines{{JournalKind::Plain, "first"}, {JournalKind::Plain, "second"},
            {JournalKind::Plain, "third"}}));
}

void TestProgress::tickDuringSlowFetchStartsNone()
{
    ScriptedServer server;
    server.addScript(slowReply(QStringLiteral("slow"), 800));
    TForm1 form;
    form.edtServer->setText(server.url(QString()));
    bool tickedMeanwhile = false;
    QTimer::singleShot(200, &form, [&] {
        form.Timer1Timer(); // the window is live during the fetch, and this tick finds it busy
        tickedMeanwhile = true;
    });
    form.Timer1Timer();
    QTRY_VERIFY(tickedMeanwhile);
    QTRY_VERIFY(!form.uploadRun().fetchInProgress());
    QCOMPARE(server.connectionCount(), 1);
    QCOMPARE(journal(form), (ShownLines{{JournalKind::Plain, "slow"}}));

    form.Timer1Timer(); // idle again: the next tick fetches
    QTRY_VERIFY(!form.uploadRun().fetchInProgress());
    QCOMPARE(server.connectionCount(), 2);
}

void TestProgress::finalFetchWaitsForPollAndReturnsWithItsLines()
{
    ScriptedServer server;
    server.addScript(slowReply(QStringLiteral("poll"), 600));
    server.addScript(ScriptedServer::reply(httpReply(QStringLiteral("final;complete!"))));
    TForm1 form;
    form.edtServer->setText(server.url(QString()));
    std::atomic<bool> finalDone{false};
    std::thread job;
    QTimer::singleShot(100, &form, [&] {
        job = std::thread([&] {
            form.uploadRun().runFinalFetch();
            finalDone = true;
        });
    });
    form.Timer1Timer();
    QTRY_VERIFY_WITH_TIMEOUT(finalDone.load(), 10000);
    job.join();
    QCOMPARE(server.connectionCount(), 2);
    // Never two fetches on the poll client at once: the final one came after the poll.
    QCOMPARE(
        journal(form), (ShownLines{{JournalKind::Plain, "poll"}, {JournalKind::Plain, "final"}}));
    QVERIFY(!form.Timer1->isActive());
}

void TestProgress::closingDuringAFetchEndsAtOnce()
{
    ScriptedServer server;
    server.addScript({ScriptedServer::readRequest(), ScriptedServer::holdOpen(30000)});
    TForm1 form;
    form.show();
    form.edtServer->setText(server.url(QString()));
    bool fetchReturned = false;
    QTimer::singleShot(0, &form, [&] {
        form.Timer1Timer();
        fetchReturned = true;
    });
    QTimer::singleShot(300, &form, [&] { form.close(); });
    QTimer guard;
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    guard.start(10000);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(QCoreApplication::exec(), 0);
    QTRY_VERIFY(fetchReturned);
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY(form.reMessages->document()->isEmpty());
}

void TestProgress::finalFetchCutShortAtExitIsNotLogged()
{
    ScriptedServer server;
    server.addScript({ScriptedServer::readRequest(), ScriptedServer::holdOpen(30000)});
    TForm1 form;
    form.edtServer->setText(server.url(QString()));
    const QString logBefore = logText(m_logs.path());
    std::atomic<bool> finalDone{false};
    std::thread job([&] {
        form.uploadRun().runFinalFetch();
        finalDone = true;
    });
    QTRY_COMPARE_WITH_TIMEOUT(server.connectionCount(), 1, 10000);
    form.prepareForExit();
    QTRY_VERIFY_WITH_TIMEOUT(finalDone.load(), 5000);
    job.join();
    QCOMPARE(logText(m_logs.path()), logBefore);
}

void TestProgress::itemsAreReadAsTheReplyIsCut_data()
{
    QTest::addColumn<QString>("reply");
    QTest::newRow("empty reply") << QString();
    for (const char *reply : {"a", "a;b", "a;;b", ";a", "a;", ";", ";;", "a;b;;", ";;a;;"})
        QTest::newRow(reply) << QString::fromLatin1(reply);
}

void TestProgress::itemsAreReadAsTheReplyIsCut()
{
    QFETCH(QString, reply);
    ProgressItemReader reader(reply);
    QStringList items;
    while (!reader.atEnd())
        items << reader.next();
    QCOMPARE(items, UploadService::progressItems(reply));
}

void TestProgress::eventsAreHandledWhileALongReplyIsRelayed()
{
    const Watchdog watchdog(300, "the relay of a long reply");
    ScriptedServer server;
    server.addScript(ScriptedServer::reply(httpReply(longReply(longReplyItems))));
    TForm1 form;
    form.edtServer->setText(server.url(QString()));
    UploadRun &run = form.uploadRun();
    int handledMidway = 0; // events handled while part of the reply was shown
    QTimer probe;
    connect(&probe, &QTimer::timeout, [&] {
        const int shown = shownLines(form);
        if (run.relayInProgress() && shown > 0 && shown < longReplyItems) {
            ++handledMidway;
            QVERIFY(run.fetchInProgress());
            form.Timer1Timer(); // a poll meanwhile finds the fetch in progress: no post
        }
    });
    probe.start(0);
    form.Timer1->start();
    form.Timer1Timer();
    QTRY_VERIFY_WITH_TIMEOUT(!run.fetchInProgress(), 240000);
    probe.stop();

    QVERIFY(handledMidway > 0);
    QCOMPARE(server.connectionCount(), 1);
    const ShownLines lines = journal(form);
    QCOMPARE(lines.size(), longReplyItems);
    for (int i : {0, 1, 2, 3, longReplyItems - 1})
        QCOMPARE(lines.at(i),
            (Shown{JournalKind(i % 4), (i % 4 == 3 ? "Ошибка " : "") + QString::number(i)}));
    QCOMPARE(form.reMessages->textCursor().selectionStart(),
        form.reMessages->document()->lastBlock().position());
}

void TestProgress::finalFetchReturnsAfterItsLastLineAndJobEffectsWait()
{
    const Watchdog watchdog(300, "the job's final fetch of a long reply");
    constexpr int items = 20000;
    ScriptedServer server;
    server.addScript(ScriptedServer::reply(httpReply(longReply(items))));
    TForm1 form;
    form.edtServer->setText(server.url(QString()));
    UploadRun &run = form.uploadRun();
    std::atomic<bool> finalDone{false};
    int returnedEarly = 0;
    std::thread job([&] {
        run.runFinalFetch();
        finalDone = true;
    });
    std::thread other;
    QTimer probe;
    connect(&probe, &QTimer::timeout, [&] {
        if (finalDone && shownLines(form) < items)
            ++returnedEarly;
        // A line the job asks for while the reply is shown comes after the reply's lines.
        if (run.relayInProgress() && !other.joinable())
            other = std::thread([&] { run.jobLine(UploadJobHost::LineKind::Error, "job"); });
    });
    probe.start(0);
    QTRY_VERIFY_WITH_TIMEOUT(finalDone.load(), 240000);
    job.join();
    QTRY_COMPARE(shownLines(form), items + 1);
    probe.stop();
    QVERIFY(other.joinable());
    other.join();

    QCOMPARE(returnedEarly, 0);
    const ShownLines lines = journal(form);
    QCOMPARE(lines.at(items - 1).text, "Ошибка " + QString::number(items - 1));
    QCOMPARE(lines.last(), (Shown{JournalKind::Error, "job"}));
}

void TestProgress::closingDuringARelayEndsAtOnce()
{
    const Watchdog watchdog(300, "closing the window during a relay");
    ScriptedServer server;
    server.addScript(ScriptedServer::reply(httpReply(longReply(longReplyItems))));
    TForm1 form;
    form.show();
    form.edtServer->setText(server.url(QString()));
    UploadRun &run = form.uploadRun();
    int shownAtClose = -1;
    QElapsedTimer sinceClose;
    QTimer probe;
    connect(&probe, &QTimer::timeout, [&] {
        if (shownAtClose < 0 && run.relayInProgress() && shownLines(form) > 0) {
            shownAtClose = shownLines(form);
            sinceClose.start();
            form.close();
        }
    });
    probe.start(0);
    QTimer::singleShot(0, &form, [&] { form.Timer1Timer(); });
    QTimer guard;
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    guard.start(60000);
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(shownAtClose > 0);
    QVERIFY(sinceClose.elapsed() < 5000);
    probe.stop();

    QTRY_VERIFY(!run.fetchInProgress());
    QVERIFY(!run.relayInProgress());
    QCOMPARE(shownLines(form), shownAtClose); // nothing more after the close
}

void TestProgress::notice_data()
{
    QTest::addColumn<bool>("ok");
    QTest::addColumn<JournalKind>("kind");
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::newRow("job without a failed stage")
        << true << JournalKind::Ok
        << "Загрузка реестра успешно завершена! Подробности в журнале работы."
        << int(BoxIcon::Information) << "Загрузка завершена"
        << "Процедура загрузки реестра завершена. Подробности смотрите в журнале работы...";
    QTest::newRow("failed job")
        << false << JournalKind::Error
        << "В процессе загрузки возникли ошибки! Подробности в журнале работы."
        << int(BoxIcon::Error) << "Ошибка!"
        << "Процедура загрузки реестра завершена с ОШИБКАМИ. Подробности смотрите в журнале "
           "работы...";
}

void TestProgress::notice()
{
    QFETCH(bool, ok);
    QFETCH(JournalKind, kind);
    QFETCH(QString, line);
    QFETCH(int, icon);
    QFETCH(QString, title);
    QFETCH(QString, text);

    struct Box {
        int icon;
        QString title, text;
        bool timerOff;
    };
    QList<Box> boxes;
    TForm1 form;
    setMessageBoxHookForTesting([&](BoxIcon i, const QString &t, const QString &x) {
        boxes << Box{int(i), t, x, !form.Timer2->isActive()};
    });
    form.uploadRun().setProcessOk(ok);
    form.uploadRun().setProcess(false);
    form.Timer2->setInterval(20);
    form.uploadRun().startCompletionTimer();
    QTRY_COMPARE(boxes.size(), 1);
    QTest::qWait(100); // the timer is off: one job end, one notice
    setMessageBoxHookForTesting({});

    QCOMPARE(journal(form), (ShownLines{{kind, line}}));
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes.first().icon, icon);
    QCOMPARE(boxes.first().title, title);
    QCOMPARE(boxes.first().text, text);
    QVERIFY(boxes.first().timerOff); // off before the box is shown
    QVERIFY(!form.Timer2->isActive());
}

void TestProgress::noticeWaitsWhileJobRuns()
{
    int boxes = 0;
    setMessageBoxHookForTesting([&](BoxIcon, const QString &, const QString &) { ++boxes; });
    TForm1 form;
    form.uploadRun().setProcess(true);
    form.uploadRun().setProcessOk(false);
    form.Timer2->setInterval(20);
    form.uploadRun().startCompletionTimer();
    QTest::qWait(150);
    QCOMPARE(boxes, 0);
    QVERIFY(form.Timer2->isActive());
    QVERIFY(form.reMessages->document()->isEmpty());

    // The newer job's result is what the notice tells.
    form.uploadRun().setProcessOk(true);
    form.uploadRun().setProcess(false);
    QTRY_COMPARE(boxes, 1);
    QTest::qWait(100);
    QCOMPARE(boxes, 1);
    setMessageBoxHookForTesting({});
    QCOMPARE(journal(form).value(0).kind, JournalKind::Ok);
}

QTEST_MAIN(TestProgress)
#include "tst_progress.moc"
