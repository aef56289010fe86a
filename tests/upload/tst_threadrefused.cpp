// Threads the system refuses (a process-count limit, a huge stack limit): the job and
// every post end as failures instead of waiting for ever; and the post workers' limit.
#include "upload/PostWorker.h"
#include "upload/SetCheck.h"
#include "upload/ThreadStart.h"
#include "upload/UploadRun.h"
#include "upload/uUploadData.h"

#include "DevService.h"
#include "LogText.h"
#include "ScopedLogFolder.h"
#include "TestFiles.h"
#include "Watchdog.h"
#include "diag/Exception.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <condition_variable>
#include <mutex>

namespace
{

class Journal : public JournalSink
{
public:
    void addLine(JournalKind, const QString &text) override { lines << text; }
    QStringList lines;
};

// Posts block on it until it opens.
class Gate
{
public:
    void pass()
    {
        std::unique_lock lock(m_mutex);
        ++m_waiting;
        m_peak = qMax(m_peak, m_waiting);
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_open; });
        --m_waiting;
    }
    void open()
    {
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    int waiting() const
    {
        std::lock_guard lock(m_mutex);
        return m_waiting;
    }
    int peak() const
    {
        std::lock_guard lock(m_mutex);
        return m_peak;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
    int m_waiting = 0;
    int m_peak = 0;
};

// Refuses the threads named `name` for as long as it lives.
class RefusedThreads
{
public:
    explicit RefusedThreads(const QString &name)
    {
        setThreadStartRefusedForTesting(
            [name](const QThread &thread) { return thread.objectName() == name; });
    }
    ~RefusedThreads() { setThreadStartRefusedForTesting({}); }
    RefusedThreads(const RefusedThreads &) = delete;
    RefusedThreads &operator=(const RefusedThreads &) = delete;
};

QString failureText(const PostOutcome &outcome)
{
    try {
        if (outcome.failure)
            std::rethrow_exception(outcome.failure);
    } catch (const std::exception &failure) {
        return failureMessage(failure);
    }
    return {};
}

} // namespace

class TestThreadRefused : public QObject
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
    }

    void refusedWorkerFailsThePost_data()
    {
        QTest::addColumn<bool>("awaited");
        QTest::newRow("awaited") << true;
        QTest::newRow("started") << false;
    }

    void refusedWorkerFailsThePost()
    {
        QFETCH(bool, awaited);
        Watchdog watchdog(60, "a post whose worker was refused");
        QObject context;
        std::optional<PostOutcome> outcome;
        {
            PostWorker posts(&context);
            const RefusedThreads refused(PostWorker::workerName);
            bool ran = false;
            auto post = [&ran] {
                ran = true;
                return QStringLiteral("success");
            };
            if (awaited) {
                outcome = posts.await(post);
            } else {
                posts.start(post, [&](const PostOutcome &ended) { outcome = ended; });
                QTRY_VERIFY_WITH_TIMEOUT(outcome.has_value(), 5000);
            }
            QVERIFY(!ran);
        } // and the workers' end is no wait
        QVERIFY(outcome.has_value());
        QCOMPARE(outcome->reply, QString());
        QCOMPARE(failureText(*outcome), PostWorker::notStartedText);
    }

    void aPostWaitingForABusyWorkerStillRuns()
    {
        Watchdog watchdog(60, "a post queued behind a busy worker");
        QObject context;
        PostWorker posts(&context);
        Gate gate;
        QStringList replies;
        auto collect = [&](const PostOutcome &outcome) {
            replies << (outcome.failure ? failureText(outcome) : outcome.reply);
        };
        posts.start(
            [&gate] {
                gate.pass();
                return QStringLiteral("first");
            },
            collect);
        QTRY_COMPARE_WITH_TIMEOUT(gate.waiting(), 1, 5000);
        {
            // The worker that runs takes the second post once the first has ended.
            const RefusedThreads refused(PostWorker::workerName);
            posts.start([] { return QStringLiteral("second"); }, collect);
        }
        gate.open();
        QTRY_COMPARE_WITH_TIMEOUT(replies, (QStringList{"first", "second"}), 5000);
        posts.waitForDone();
    }

    void atMostMaxWorkersRunAtOnce()
    {
        Watchdog watchdog(60, "posts past the workers' limit");
        QObject context;
        PostWorker posts(&context);
        Gate gate;
        int ended = 0;
        for (int i = 0; i < PostWorker::MaxWorkers + 1; ++i)
            posts.start(
                [&gate] {
                    gate.pass();
                    return QString();
                },
                [&](const PostOutcome &) { ++ended; });
        QTRY_COMPARE_WITH_TIMEOUT(gate.waiting(), PostWorker::MaxWorkers, 5000);
        QTest::qWait(100); // the one past the limit must still be waiting for a worker
        QCOMPARE(gate.waiting(), PostWorker::MaxWorkers);
        gate.open();
        QTRY_COMPARE_WITH_TIMEOUT(ended, PostWorker::MaxWorkers + 1, 5000);
        QCOMPARE(gate.peak(), PostWorker::MaxWorkers);
        posts.waitForDone();
    }

    void refusedJobThreadEndsTheJobAsAFailure()
    {
        Watchdog watchdog(120, "a job whose thread was refused");
        const ScopedLogFolder logs;
        DevService service({"--stage-seconds", "0.2"});
        QVERIFY2(service.isRunning(), qPrintable(service.output()));
        Journal journal;
        UploadRun run(journal);
        run.createClients();
        run.setServerAddress(service.address());
        connect(run.pollTimer, &QTimer::timeout, &run, [&run] { run.fetchProgress(); });
        QSignalSpy ended(&run, &UploadRun::jobEnded);
        QSignalSpy button(&run, &UploadRun::uploadButtonEnabled);
        {
            const RefusedThreads refused(QStringLiteral("TDataUploader"));
            run.startJob(service.address(), m_workbook);
        }
        QVERIFY(ended.wait(5000));
        QVERIFY(!run.jobActive());
        QVERIFY(!run.process);
        QCOMPARE(button.last().first().toBool(), true);
        QCOMPARE(run.completionNotice(), std::optional<bool>(false));
        QCOMPARE(journal.lines.last(), UploadTexts::completedWithErrors);
        // The report still names the document that was never sent.
        QFile report(run.lastReportPath());
        QVERIFY(report.open(QIODevice::ReadOnly));
        QVERIFY(QString::fromUtf8(report.readAll()).contains(QStringLiteral("План.pdf")));
        QVERIFY(service.actions().isEmpty());
        const QString log = logText(logs.path(), LogRead::Take);
        QCOMPARE(log.count(QStringLiteral(" -> ")), 1);
        QVERIFY2(log.contains(QStringLiteral("TDataUploader.Create: ")), qPrintable(log));
        QVERIFY2(log.contains(TDataUploader::notStartedText), qPrintable(log));

        // The next upload starts and runs through as usual.
        ended.clear();
        run.startJob(service.address(), m_workbook);
        QVERIFY(run.jobActive());
        QVERIFY(ended.wait(30000));
        QCOMPARE(run.completionNotice(), std::optional<bool>(true));
        QCOMPARE(logText(logs.path()), QString());
    }

    void refusedSetCheckThreadLeavesTheCheckStartable()
    {
        Watchdog watchdog(60, "a set check whose thread was refused");
        SetCheckRunner runner;
        int results = 0;
        const auto done = [&](const QString &, const SetCheckResult &result) {
            QCOMPARE(result.documentCount, 1);
            ++results;
        };
        {
            const RefusedThreads refused(SetCheckRunner::threadName);
            QVERIFY(!runner.start(m_workbook, done));
        }
        QVERIFY(!runner.running());
        QVERIFY(runner.start(m_workbook, done));
        QTRY_COMPARE_WITH_TIMEOUT(results, 1, 10000);
        QVERIFY(!runner.running());
    }

    void refusedFetchIsLoggedAndEnds()
    {
        Watchdog watchdog(60, "a fetch whose worker was refused");
        const ScopedLogFolder logs;
        DevService service;
        QVERIFY2(service.isRunning(), qPrintable(service.output()));
        Journal journal;
        UploadRun run(journal);
        run.createClients();
        run.setServerAddress(service.address());
        {
            const RefusedThreads refused(PostWorker::workerName);
            run.fetchProgress();
        }
        QTRY_VERIFY_WITH_TIMEOUT(!run.fetchInProgress(), 5000);
        const QString log = logText(logs.path(), LogRead::Take);
        QVERIFY2(log.contains(QStringLiteral("TForm1.getLogFromServer: ")), qPrintable(log));
        QVERIFY2(log.contains(PostWorker::notStartedText), qPrintable(log));
        // The poll client is free again: the next fetch reaches the service.
        run.fetchProgress();
        QVERIFY(run.fetchInProgress());
        QTRY_VERIFY_WITH_TIMEOUT(!run.fetchInProgress(), 5000);
        QVERIFY(!service.actions().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestThreadRefused)
#include "tst_threadrefused.moc"
