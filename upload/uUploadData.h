// The upload job: on a thread of its own it obtains a job session, sends the workbook,
// has the service process it, sends every PDF document below the workbook's folder and
// has the service attach them. Its effects on the window or terminal go through the
// UploadRun that started it (UploadJobHost), which also runs its progress fetches.
#pragma once

#include "upload/UploadJobHost.h"

#include <QList>
#include <QPointer>
#include <QString>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

class FormPostClient;
class MultipartForm;
struct FoundDocument;

// The error line for a document the search found but the upload must not send.
QString skippedDocumentText(const FoundDocument &found);
// The same reason in a few words, for the run's report.
QString skippedDocumentReason(const FoundDocument &found);
// A service reply kept in the report is cut to this many characters.
constexpr qsizetype MaxReportedReply = 500;

class TDataUploader : public QThread
{
    Q_OBJECT

public:
    // Stores the three values and starts the thread at once. A thread the system refuses
    // is logged, and the job ends through its end steps once the caller's event loop runs.
    TDataUploader(const QString &serverAddress, const QString &fileName, FormPostClient *inHttp,
        UploadJobHost *host, QObject *parent = nullptr);
    ~TDataUploader() override;

    // At program exit: aborts the post in flight and every wait, so the job ends at
    // once. The host must already refuse to touch the window.
    void cancel();

    QString address;
    QString registryFileName;
    FormPostClient *http;

    // The poll interval plus 1 ms: the final fetch after a processing stage then comes
    // after the service's last lines of that stage. Tests may shorten it.
    static std::atomic<int> stageClosingWaitMs;

    // What the job knows at an interrupt, without waiting for anything: the workbook's
    // and every document's outcome so far; a post in flight whose body went out whole is
    // unconfirmed, one cut short and all after it not sent, each "прервано". Any thread,
    // while the job exists.
    struct Ledger {
        DocumentOutcome workbook;
        bool searched = false;
        QList<DocumentOutcome> documents;
    };
    Ledger interruptedLedger() const;

    // The log's message for a job whose thread the system refused.
    static inline const QString notStartedText
        = QStringLiteral("The upload job was not started: the system refused it a thread.");

protected:
    void run() override;

private:
    void Execute();
    void notStarted();
    void closeStage();
    void endSteps();
    void unexpectedFailure(bool inProcessingStage, const std::exception *failure);
    void line(UploadJobHost::LineKind kind, const QString &text);
    void report(JobProgress::Step step);
    QString post();
    void throwIfCancelled() const;
    std::vector<FoundDocument> listDocuments();
    void documentEnded(DocumentOutcome::Result result, const QString &reason);
    void setWorkbookInFlight(bool inFlight);
    void workbookEnded(DocumentOutcome::Result result, const QString &reason);
    // The report's reason for a reply that is not "success".
    QString replyReason(const QString &reply, const QString &what) const;

    UploadJobHost &m_host;
    std::unique_ptr<MultipartForm> lParam;
    JobProgress m_progress;
    // The ledger: written by the job's thread, read by interruptedLedger(), under the mutex.
    mutable std::mutex m_ledgerMutex;
    DocumentOutcome m_workbook; // handed to the host with the documents
    // One per document the search found; handed to the host before the end steps.
    QList<DocumentOutcome> m_outcomes;
    bool m_searched = false;
    qsizetype m_current = -1;        // the outcome whose post is under way
    bool m_workbookInFlight = false; // the workbook's post is under way
    qint64 m_bodyLength = -1;        // of the post under way
    std::atomic<bool> m_cancelled{false};
    std::mutex m_waitMutex;
    std::condition_variable m_wake;
};

// The most recent job; the upload command writes it. Finished jobs delete themselves.
extern QPointer<TDataUploader> dataUploader;
