#include "app/Journal.h"

#include "app/MessageBoxes.h"
#include "app/main.h"
#include "diag/uLogWriter.h"
#include "support/LogText.h"
#include "support/ScriptedServer.h"
#include "support/ShownLines.h"
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

namespace
{

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

    void fetchPostsProgressWithSessionToTheAddressField();
    void transportFailureIsLoggedAndChangesNothing();
    void pollsStopAtCompleteAndLaterItemsAreShown();
    void closingDuringAFetchEndsAtOnce();
    void eventsAreHandledWhileALongReplyIsRelayed();
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
