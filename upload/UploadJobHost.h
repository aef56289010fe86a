// What an upload job may ask of the run that started it, and nothing more: the job lives
// on a thread of its own and never sees the window or the terminal. The run (UploadRun)
// carries each call out on its own thread, in call order; see each call for whether the
// job waits for it.
#pragma once

#include "upload/RunReport.h"

#include <QList>
#include <QString>

// How far a job has come, for an observer such as the command line's status line and
// its interrupt notice; it changes nothing in the upload.
struct JobProgress {
    enum class Step { Session, Workbook, Registry, Documents, Attaching, Ended };
    Step step = Step::Session;
    bool workbookSent = false;      // the service answered the workbook's post
    bool workbookDelivered = false; // ... with "success"
    int documentsSent = 0;          // documents whose post the service answered
    int documentsFailed = 0;        // ... of them, and skipped ones, not delivered
    int documentsTotal = -1;        // -1 until the document list is known
    qint64 documentBytesTotal = 0;  // sizes of the documents to send, once the list is known
    qint64 documentBytesDone = 0;   // sizes of the documents whose post has ended
    qint64 currentDocumentSize = 0; // size of the document whose post is under way; else 0
};

// A failure the journal does not name (it is logged): its message, and its cause in
// the user's words when it is a transport failure.
struct FailureCause {
    QString message;
    QString transportCause;
    bool isEmpty() const { return message.isEmpty(); }
};

class UploadJobHost
{
public:
    enum class LineKind { Plain, Error };

    virtual ~UploadJobHost() = default;

    // These return at once; their effects follow on the run's thread in call order.
    virtual void jobLine(LineKind kind, const QString &text) = 0;
    virtual void setUploadButtonEnabled(bool enabled) = 0;
    virtual void setPollTimerActive(bool active) = 0;
    virtual void startCompletionTimer() = 0;
    virtual void setProcess(bool running) = 0;
    virtual void setProcessOk(bool ok) = 0;
    virtual void setSessionId(const QString &sessionId) = 0;
    virtual void jobProgress(const JobProgress &) { }
    // Before the end steps: one outcome per document the search found, in search order.
    virtual void jobDocuments(const QList<DocumentOutcome> &) { }
    // Before the documents: what became of the workbook.
    virtual void jobWorkbook(const DocumentOutcome &) { }

    // The job ends through a failure it logged (before its end steps).
    virtual void jobFailed(const FailureCause &) { }
    // Whether "НЕ отрисовывать объекты на карте" is ticked at this moment.
    virtual bool drawTilesSuppressed() = 0;
    // One progress fetch through the poll client, never overlapping a poll, after every
    // effect asked for before it; returns when its lines are in the journal, or at once
    // when the run has been abandoned.
    virtual void runFinalFetch() = 0;
};
