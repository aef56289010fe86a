#include "upload/UploadCommand.h"

#include "diag/uLogWriter.h"
#include "net/NetErrors.h"

#include <QTimer>

namespace
{

// Logged under the window's handlers, whichever front end runs the command.
constexpr const char *commandPlace = "TForm1.Button1Click: ";
constexpr const char *pollPlace = "TForm1.getLogFromServer: ";

} // namespace

UploadOutcome uploadOutcome(bool ok, const JobProgress &progress,
    const QList<DocumentOutcome> &documents, const QString &reportPath)
{
    UploadOutcome outcome;
    outcome.ok = ok;
    outcome.workbookDelivered = progress.workbookDelivered;
    outcome.reportPath = reportPath;
    for (const DocumentOutcome &document : documents) {
        switch (document.result) {
        case DocumentOutcome::Result::Sent: ++outcome.delivered; break;
        case DocumentOutcome::Result::Failed:
            ++outcome.failed;
            outcome.failedDocuments << document;
            break;
        case DocumentOutcome::Result::NotSent:
        case DocumentOutcome::Result::Unconfirmed: ++outcome.notSent; break;
        }
    }
    return outcome;
}

QString failureSentence(const FailureCause &failure)
{
    QString text = failure.transportCause.isEmpty() ? oneLineMessage(failure.message)
                                                    : failure.transportCause;
    if (!text.endsWith(u'.'))
        text += u'.';
    return text;
}

QString unreachableServerText(const QString &address, const QString &cause)
{
    return QStringLiteral("Не удалось подключиться к серверу \"%1\": %2.").arg(address, cause);
}

UploadCommand::UploadCommand(JournalSink &journal, UploadFace &face, QObject *parent)
    : QObject(parent)
    , m_journal(journal)
    , m_face(face)
    , m_run(journal)
{
    connect(m_run.pollTimer, &QTimer::timeout, this, &UploadCommand::pollTick);
    connect(&m_run, &UploadRun::jobEnded, this, &UploadCommand::jobEnded);
}

UploadCommand::~UploadCommand() = default;

UploadCommand::Start UploadCommand::start(const UploadOrder &order)
{
    if (!isWorkbookPath(order.workbookPath)) {
        m_journal.addLine(JournalKind::Error, UploadTexts::notWorkbook);
        return Start::NotWorkbook;
    }
    m_face.workbookAccepted();
    if (!m_run.clientsReady()) {
        // Start-up failed to make them: tell the user rather than post through nothing.
        m_journal.addLine(JournalKind::Error, UploadTexts::noClients);
        return Start::NoClients;
    }
    // Nothing may start the command again while the service decides or the job runs.
    m_run.setUploadButtonEnabled(false);
    if (Start stop; !serverTrusted(order, stop))
        return stop;
    if (order.authorise) {
        m_face.authorisationStarted();
        const bool authorised = authorise(order.address, order.session, order.serverName);
        if (m_run.abandoned())
            return Start::Abandoned; // the front end is going away: nothing more to say
        if (!authorised) {
            authorisationFailed(order.address, m_run.authorisationFailure());
            return Start::NotAuthorised;
        }
    }
    bool started = false;
    guarded(commandPlace, [&] {
        m_run.startJob(order.address, order.workbookPath);
        started = true;
    });
    if (!started)
        return Start::JobFailed;
    m_face.jobStarted();
    return Start::Started;
}

bool UploadCommand::serverTrusted(const UploadOrder &order, Start &stop)
{
    if (!order.address.startsWith(QStringLiteral("https:"), Qt::CaseInsensitive))
        return true;
    // Before the first request: a certificate the user has not trusted gets nothing.
    for (bool asked = false;;) {
        const std::exception_ptr failure = m_run.checkServer(order.address);
        if (m_run.abandoned()) {
            stop = Start::Abandoned;
            return false;
        }
        if (!failure)
            return true;
        try {
            std::rethrow_exception(failure);
        } catch (const TlsError &tls) {
            if (tls.certificateProblem() && !asked) {
                if (m_face.trustCertificate(tls)) {
                    m_run.trustForSession(tls.certificate().sha256);
                    asked = true;
                    continue; // the next check passes, unless the server changed meanwhile
                }
                if (m_run.abandoned()) {
                    stop = Start::Abandoned;
                    return false;
                }
                m_run.setUploadButtonEnabled(true);
                m_journal.addLine(JournalKind::Error, certificateRefusedText);
                stop = Start::CertificateRefused;
                return false;
            }
            authorisationFailed(order.address, {failureMessage(tls), transportCause(tls)});
        } catch (const std::exception &other) {
            authorisationFailed(order.address, {failureMessage(other), transportCause(other)});
        } catch (...) {
            authorisationFailed(order.address, {QStringLiteral("неизвестная ошибка"), {}});
        }
        stop = Start::NotAuthorised;
        return false;
    }
}

void UploadCommand::authorisationFailed(const QString &address, const FailureCause &failure)
{
    m_run.setUploadButtonEnabled(true);
    m_face.authorisationFailed(address, failure);
    // The service's refusal, an HTTP status or a refused thread: the session line.
    m_journal.addLine(JournalKind::Error,
        failure.transportCause.isEmpty() ? UploadTexts::notAuthorised
                                         : unreachableServerText(address, failure.transportCause));
}

bool UploadCommand::authorise(
    const QString &address, const QString &session, const QString &serverName)
{
    return m_run.authorise(address, session, serverName);
}

void UploadCommand::pollTick()
{
    // The fetch posts on a worker and adds its lines when the reply is in; a failure
    // that comes later is logged by the run under the same place.
    guarded(pollPlace, [&] { m_run.fetchProgress(); });
}

void UploadCommand::jobEnded()
{
    m_lastOutcome = uploadOutcome(
        m_run.processOk, m_run.jobProgressSoFar(), m_run.lastDocuments(), m_run.lastReportPath());
    m_lastOutcome.failure = m_run.lastJobFailure();
    emit ended(m_lastOutcome);
}
