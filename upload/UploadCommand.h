// The upload command, one for the window and the command line: the workbook's name
// checked, the clients checked, the session authorised unless told not to, the job
// started on the run; then the poll tick and, at the job's end, one outcome. A front end
// (the face) adds only what it alone does: a dialog, a box, a status line, an exit.
#pragma once

#include "net/NetErrors.h"
#include "upload/UploadRun.h"

#include <QList>
#include <QObject>
#include <QString>

#include <optional>

// How a job ended, once its end steps and its report are done.
struct UploadOutcome {
    bool ok = false; // the completion line's verdict
    bool workbookDelivered = false;
    int delivered = 0; // documents the service stored
    int failed = 0;    // documents the service refused, or that could not be read
    int notSent = 0;   // documents the job never reached
    QList<DocumentOutcome> failedDocuments; // relative path and reply or reason
    QString reportPath;                     // empty when no report was written
    FailureCause failure;                   // what ended the job early, when anything did
};

// The outcome of a job that ended with `ok`, its progress and its documents.
UploadOutcome uploadOutcome(bool ok, const JobProgress &progress,
    const QList<DocumentOutcome> &documents, const QString &reportPath);

// A logged failure as one sentence for the user: its transport cause, else its message
// on one line, ending in a full stop.
QString failureSentence(const FailureCause &failure);

// The journal line of a run the user would not trust the service's certificate for.
inline const QString certificateRefusedText
    = QStringLiteral("Соединение не установлено: сертификат сервера не подтверждён.");

// The journal line of an authorisation that never reached the service.
QString unreachableServerText(const QString &address, const QString &cause);

// What the command asks of its front end, on the command's thread, in step order.
class UploadFace
{
public:
    virtual ~UploadFace() = default;
    // The workbook's name passed its check; the clients are checked next.
    virtual void workbookAccepted() { }
    virtual void authorisationStarted() { }
    // The authorisation failed: refused (`failure` empty), unreachable (a transport
    // cause) or otherwise (a logged failure). The journal line follows once this returns,
    // so a box shown here comes first.
    virtual void authorisationFailed(const QString &address, const FailureCause &failure)
    {
        Q_UNUSED(address);
        Q_UNUSED(failure);
    }
    virtual void jobStarted() { }
    // An https service whose certificate is not trusted: true when the user trusts it for
    // this session (the window asks; the command line never does).
    virtual bool trustCertificate(const TlsError &failure)
    {
        Q_UNUSED(failure);
        return false;
    }
};

// What one upload is started with.
struct UploadOrder {
    QString address;
    QString workbookPath;
    bool authorise = true;
    QString session;
    QString serverName; // as the authorisation's lines name the service
};

class UploadCommand : public QObject
{
    Q_OBJECT

public:
    UploadCommand(JournalSink &journal, UploadFace &face, QObject *parent = nullptr);
    ~UploadCommand() override;

    UploadRun &run() { return m_run; }

    enum class Start {
        Started,
        NotWorkbook,
        NoClients,
        CertificateRefused,
        NotAuthorised,
        Abandoned,
        JobFailed,
    };
    // Runs the command's steps up to the job's start; each step that stops it has added
    // its line (a failed start is logged), and the job's end comes as `ended`.
    Start start(const UploadOrder &order);

    // The authorisation step alone.
    bool authorise(const QString &address, const QString &session, const QString &serverName);

    // The poll timer's tick: a progress fetch, its failures logged under the run's place.
    void pollTick();

    // The completion timer's step (UploadRun::completionNotice).
    std::optional<bool> completionNotice() { return m_run.completionNotice(); }
    // The outcome of the latest job to end.
    const UploadOutcome &lastOutcome() const { return m_lastOutcome; }

signals:
    // After the job's end steps and its report, before the completion line.
    void ended(const UploadOutcome &outcome);

private:
    // The certificate step of an https address: true to go on.
    bool serverTrusted(const UploadOrder &order, Start &stop);
    // The authorisation failed before the service answered it: the face, then the line.
    void authorisationFailed(const QString &address, const FailureCause &failure);
    void jobEnded();

    JournalSink &m_journal;
    UploadFace &m_face;
    UploadOutcome m_lastOutcome;
    // Last: it goes first, ending its job and posts while the above still exist.
    UploadRun m_run;
};
