// The upload side of the window and of the command-line program, one upload at a time,
// on the thread that owns this object: the job and poll clients, the session
// authorisation, the upload job on its own thread, the 2000 ms progress poll and the job's
// final fetches, and the completion timer with its outcome line. No post runs on the
// owner's thread and nothing here waits in a nested loop but the authorisation, which the
// upload command awaits as one step.
#pragma once

#include "net/FormPostClient.h"
#include "upload/JournalLines.h"
#include "upload/PostWorker.h"
#include "upload/RunReport.h"
#include "upload/UploadJobHost.h"

#include <QBasicTimer>
#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class FormPostClient;
class QTimer;
class TDataUploader;

inline const QString defaultServerAddress = QStringLiteral("http://127.0.0.1:8080");
constexpr int pollIntervalMs = 2000;
constexpr int completionIntervalMs = 1000;
// A progress reply is relayed in slices of about this many milliseconds, each slice
// in batches of at most relayBatchItems items or relayBatchChars characters, so that
// the window handles its events in between however long the reply is.
constexpr int relaySliceMs = 25;
constexpr int relayBatchItems = 100;
constexpr qsizetype relayBatchChars = 64 * 1024;

// The extension of the last component of a path, dot included; empty without a dot.
QString registerExtension(const QString &path);
// The upload command's test of the chosen workbook: its extension contains "xls".
bool isWorkbookPath(const QString &path);

// Texts both front ends show.
namespace UploadTexts
{
inline const QString notWorkbook
    = QStringLiteral("Файл реестра должен быть документом Excel! Загрузка файлов не выполнена");
inline const QString notAuthorised
    = QStringLiteral("Программе не удалось авторизоваться на сервере для загрузки реестра УНМЗ!");
inline const QString noClients = QStringLiteral(
    "Программе не удалось подготовить соединение с сервером. Загрузка файлов не выполнена");
inline const QString completedOk
    = QStringLiteral("Загрузка реестра успешно завершена! Подробности в журнале работы.");
inline const QString completedWithErrors
    = QStringLiteral("В процессе загрузки возникли ошибки! Подробности в журнале работы.");
} // namespace UploadTexts

class UploadRun : public QObject, public UploadJobHost
{
    Q_OBJECT

public:
    explicit UploadRun(JournalSink &journal, QObject *parent = nullptr);
    // Abandons a running job and waits for its thread and for the posts in flight.
    ~UploadRun() override;

    // Start-up: the job client and the poll client, kept for every job and poll.
    void createClients();
    bool clientsReady() const { return http && timerHttp; }
    // Replaces the making of each client; a factory that throws leaves clients missing.
    // An empty factory restores the real one.
    static void setClientFactoryForTesting(
        std::function<std::unique_ptr<FormPostClient>()> factory);

    // Time limits of every client made from now on, in milliseconds (0: none, the
    // window's choice): the lookup and connect together, and a post without a byte moving.
    void setTimeouts(int connectMs, int idleMs);

    // The base address of the polls and final fetches from now on.
    void setServerAddress(const QString &address);
    // Any thread: what the next job reads for "НЕ отрисовывать объекты на карте".
    void setDrawTilesSuppressed(bool suppressed) { m_drawTilesSuppressed = suppressed; }

    // Has the service authorise the user's web session through a client made for this one
    // request, awaited in a local event loop. Adds the ok line ("success") or the error
    // line (any other reply) naming `serverName`; a failed post is logged, without a
    // line. False unless "success"; once the run is abandoned, false without a line or log.
    bool authorise(const QString &address, const QString &webSessionId, const QString &serverName);
    // Why the latest authorisation failed when the service did not answer it: empty after
    // a success or the service's refusal.
    FailureCause authorisationFailure() const { return m_authFailure; }

    // An https service's certificate, checked with a handshake and no request through a
    // client made for it, awaited like the authorisation. Null when trusted, or for http;
    // else the failure (a TlsError when the certificate or the handshake is the problem),
    // logged already. Null without a check once the run is abandoned.
    std::exception_ptr checkServer(const QString &address);
    // TLS settings of every client from now on: an extra CA file, a pinned certificate.
    void setTlsOptions(const TlsOptions &options);
    // The user trusts this certificate (its SHA-256) until the program exits.
    void trustForSession(const QByteArray &sha256);

    // Starts the upload job for the workbook through the job client. The upload button
    // goes off and `process` on before the job exists. Throws when a job is running or
    // the clients are missing.
    void startJob(const QString &address, const QString &workbookPath);
    // From the start of a job until its end steps have switched the button back on.
    bool jobActive() const { return m_jobActive; }

    // One poll: a progress fetch through the poll client, unless a fetch is in progress.
    // Throws when the poll client is missing; a failed fetch is logged when it ends.
    void fetchProgress();
    // From a fetch's start until its last line is in the journal.
    bool fetchInProgress() const { return m_fetchBusy; }
    // While the lines of a reply are being added, slice by slice.
    bool relayInProgress() const { return m_relay != nullptr; }

    // The completion timer's step: nothing while a job runs; otherwise the timer goes off,
    // the outcome line (ok or error) is added, and the outcome (processOk) returned.
    std::optional<bool> completionNotice();

    // Exit: the timers stop, a running job and every post are aborted, and from now on
    // nothing more reaches the journal or the log from this run.
    void abandon();
    bool abandoned() const { return m_abandoned; }

    // The latest progress the job reported (any thread).
    JobProgress jobProgressSoFar() const;
    // Bytes of the documents sent so far: those whose post has ended and, in the
    // documents step, the part of the current one on the wire (any thread; cheap enough
    // to sample ten times a second).
    qint64 documentBytesSentSoFar() const;

    // The report of each run goes to `path` (the command line's --report); empty: beside
    // the workbook, named reportFileName(), numbered when that name is taken
    // (writeNewReport). Either way, a folder that can't be written sends it to the log
    // folder.
    void setReportPath(const QString &path) { m_reportPath = path; }
    // An interrupt (a stop signal, the window closing) while a job runs: its report,
    // written at once with what is known, "Итог" being `outcome`, and no journal line;
    // the path, empty when no job was running or nothing could be written. Call before
    // abandon(). `workbook` receives what became of the workbook.
    QString writeInterruptedReport(const QString &outcome, DocumentOutcome *workbook = nullptr);

    // The latest run's report file; empty when none was written.
    QString lastReportPath() const { return m_lastReportPath; }
    // The latest run's documents, one outcome each in search order; those that failed.
    QList<DocumentOutcome> lastDocuments() const { return m_documents; }
    QList<DocumentOutcome> lastFailedDocuments() const;
    // The failure that ended the latest job, when one did.
    FailureCause lastJobFailure() const { return m_jobFailure; }
    // The average speed of the documents stage of the latest run that sent document
    // bytes (bytes per second); 0 while none has (any thread).
    qint64 lastRunBytesPerSecond() const { return m_lastBytesPerSecond; }
    // Makes the report's write to a path fail as a folder without write permission
    // would (tests run as root). An empty predicate restores the real writes.
    static void setReportWriteRefusedForTesting(std::function<bool(const QString &path)> refused);

    QTimer *const pollTimer;                   // 2000 ms, off at start; its owner connects the tick
    QTimer *const completionTimer;             // 1000 ms, off at start; its owner connects the tick
    std::unique_ptr<FormPostClient> http;      // the job client
    std::unique_ptr<FormPostClient> timerHttp; // the poll client
    std::atomic<bool> processOk{false};        // read by the completion step while a job runs
    std::atomic<bool> process{false};
    QString sessionId;

    // UploadJobHost, for the job's thread (also callable on this object's thread).
    void jobLine(LineKind kind, const QString &text) override;
    void setUploadButtonEnabled(bool enabled) override;
    void setPollTimerActive(bool active) override;
    void startCompletionTimer() override;
    void setProcess(bool running) override;
    void setProcessOk(bool ok) override;
    void setSessionId(const QString &id) override;
    void jobProgress(const JobProgress &progress) override;
    void jobDocuments(const QList<DocumentOutcome> &documents) override;
    void jobFailed(const FailureCause &failure) override;
    void jobWorkbook(const DocumentOutcome &workbook) override;
    bool drawTilesSuppressed() override { return m_drawTilesSuppressed; }
    void runFinalFetch() override;

signals:
    void uploadButtonEnabled(bool enabled);
    // The job's end steps are done: `process` is false, `processOk` final, the completion
    // timer on.
    void jobEnded();
    void progressChanged(const JobProgress &progress);
    // The run's report is written, before its completion line.
    void reportWritten(const QString &path);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    struct FinalFetchWait {
        bool done = false; // under m_waitMutex
    };

    bool onOwnThread() const;
    // A job's effect: now on this thread, else queued to it; dropped once abandoned.
    void effect(std::function<void()> step);
    void requestFinalFetch(const std::shared_ptr<FinalFetchWait> &wait);
    void beginFetch(const std::shared_ptr<FinalFetchWait> &wait);
    void fetchEnded(const PostOutcome &outcome, const std::shared_ptr<FinalFetchWait> &wait);
    void relaySlice();
    bool relayItems(ProgressItemReader &items);
    void finishFetch(const std::shared_ptr<FinalFetchWait> &wait);
    void runHeldEffects();
    void releaseWait(const std::shared_ptr<FinalFetchWait> &wait);
    void writeReport();
    // Writes `report` beside the workbook (or where --report says, or to the log folder);
    // the path, empty when it could not be written.
    QString saveReport(const RunReport &report, bool &inLogFolder);

    std::unique_ptr<FormPostClient> makeClient() const;

    JournalSink &m_journal;
    QString m_address;
    void applyTlsOptions();

    TlsOptions m_tls;
    int m_connectTimeoutMs = 0;
    int m_idleTimeoutMs = 0;
    std::atomic<bool> m_drawTilesSuppressed{false};
    std::atomic<bool> m_abandoned{false};
    bool m_jobActive = false;
    bool m_fetchBusy = false;
    std::shared_ptr<FinalFetchWait> m_pendingFinalFetch;
    struct Relay {
        ProgressItemReader items;
        std::shared_ptr<FinalFetchWait> wait;
    };
    std::unique_ptr<Relay> m_relay;
    QBasicTimer m_relaySlices;
    // The job's effects that arrived during a relay, carried out after its last line so
    // that a reply's lines stay together and the job's effects keep their order.
    QList<std::function<void()>> m_heldEffects;
    std::weak_ptr<FormPostClient> m_authClient;
    QList<QPointer<TDataUploader>> m_jobs;

    // The running job's report: what it was started with, and its documents.
    QString m_jobAddress;
    QString m_workbookPath;
    QDateTime m_started;
    QList<DocumentOutcome> m_documents;
    DocumentOutcome m_workbookOutcome;
    FailureCause m_jobFailure;
    FailureCause m_authFailure;
    QString m_reportPath;
    QString m_lastReportPath;
    bool m_reportDue = false; // from a job's start until its report is written

    mutable std::mutex m_waitMutex; // also guards the three below
    std::condition_variable m_finalFetchDone;
    JobProgress m_progress;
    // The job client's body count when the job last reported: the previous post's total,
    // still shown until the next post begins.
    qint64 m_staleBodyBytes = 0;
    QElapsedTimer m_documentsStage;
    std::atomic<qint64> m_lastBytesPerSecond{0};

    // Last: its destructor waits for the workers before the members above go.
    PostWorker m_posts;
};
