#include "cli/CommandLineUpload.h"

#include "cli/ConsoleJournal.h"
#include "diag/uLogWriter.h"
#include "upload/TransferMeter.h"

#include <QCoreApplication>

#include <csignal>

namespace
{

// Also the pace of the byte samples: ten a second at most.
constexpr int SpinnerIntervalMs = 100;

QString signalName(int signalNumber)
{
    switch (signalNumber) {
    case SIGINT: return QStringLiteral("SIGINT");
    case SIGTERM: return QStringLiteral("SIGTERM");
    }
    return QStringLiteral("signal %1").arg(signalNumber);
}

} // namespace

CommandLineUpload::CommandLineUpload(const CliOptions &options, ConsoleJournal &journal)
    : m_options(options)
    , m_journal(journal)
    , m_command(journal, *this)
    , m_run(m_command.run())
{
    m_spinner.setInterval(SpinnerIntervalMs);
    connect(&m_spinner, &QTimer::timeout, this, [this] {
        if (m_jobStarted)
            showProgress(m_run.jobProgressSoFar(), true);
        m_journal.tickStatus();
    });
    connect(&m_run, &UploadRun::progressChanged, this,
        [this](const JobProgress &progress) { showProgress(progress, false); });
    connect(&m_command, &UploadCommand::ended, this, &CommandLineUpload::finish);
    m_run.setServerAddress(m_options.server);
    m_run.setDrawTilesSuppressed(!m_options.drawTiles);
    m_run.setReportPath(m_options.reportPath);
    TlsOptions tls;
    tls.caFile = m_options.caFile;
    tls.pinnedSha256 = m_options.certificate;
    m_run.setTlsOptions(tls);
    // Unattended runs end by themselves; the window waits as long as its user does.
    m_run.setTimeouts(m_options.connectTimeoutSeconds * 1000, m_options.idleTimeoutSeconds * 1000);
}

CommandLineUpload::~CommandLineUpload() = default;

int CommandLineUpload::exec()
{
    const UploadOrder order{m_options.server, m_options.registerPath, m_options.auth,
        m_options.session, m_options.server};
    switch (m_command.start(order)) {
    case UploadCommand::Start::Started: return QCoreApplication::exec();
    case UploadCommand::Start::Abandoned: return m_status; // interrupted while the service decided
    case UploadCommand::Start::NotWorkbook:
    case UploadCommand::Start::NoClients:
    case UploadCommand::Start::CertificateRefused:
    case UploadCommand::Start::NotAuthorised:
    case UploadCommand::Start::JobFailed: break;
    }
    return ExitStatus::NothingDelivered;
}

void CommandLineUpload::workbookAccepted()
{
    // The window makes its clients at start-up; here they are first needed now.
    guarded("TForm1.FormCreate: ", [this] { m_run.createClients(); });
}

void CommandLineUpload::authorisationStarted()
{
    m_spinner.start();
    m_journal.setStatus(authorisationStageText());
}

void CommandLineUpload::authorisationFailed(const QString &, const FailureCause &failure)
{
    m_journal.stopStatus();
    // An unreachable service is named by the journal line; any other failure is not.
    if (failure.transportCause.isEmpty())
        writeCause(failure);
}

bool CommandLineUpload::trustCertificate(const TlsError &failure)
{
    // Never asks: the reason, and how to trust this very certificate next time.
    const QByteArray sha256 = failure.certificate().sha256;
    m_journal.writeErrorLine(QStringLiteral("unmz-upload: %1").arg(transportCause(failure)));
    m_journal.writeErrorLine(
        QStringLiteral("unmz-upload: отпечаток сертификата: %1; чтобы доверять ему, добавьте "
                       "--certificate %2")
            .arg(fingerprintText(sha256), QString::fromLatin1(sha256.toHex().toUpper())));
    return false;
}

void CommandLineUpload::writeCause(const FailureCause &failure)
{
    if (failure.isEmpty())
        return;
    m_journal.writeErrorLine(QStringLiteral("unmz-upload: причина: %1 Журнал ошибок: %2")
                                 .arg(failureSentence({failure.message, {}}), logFilePath()));
}

void CommandLineUpload::jobStarted()
{
    if (!m_spinner.isActive())
        m_spinner.start();
    m_jobStarted = true;
    m_meter.reset();
    m_clock.start();
    showProgress(m_run.jobProgressSoFar(), false);
}

void CommandLineUpload::showProgress(const JobProgress &progress, bool sample)
{
    const qint64 bytes = m_run.documentBytesSentSoFar();
    if (sample && progress.step == JobProgress::Step::Documents)
        m_meter.sample(m_clock.elapsed(), bytes);
    const ProgressView view = progressView(progress, bytes, m_meter);
    m_journal.setStatus(
        view.detail.isEmpty() ? view.stage : view.stage + QStringLiteral(" · ") + view.detail);
}

void CommandLineUpload::finish(const UploadOutcome &outcome)
{
    if (m_status >= 0)
        return;
    m_spinner.stop();
    m_journal.stopStatus();
    m_journal.showEveryLine();
    const std::optional<bool> ok = m_command.completionNotice();
    if (ok && *ok)
        m_status = ExitStatus::Ok;
    else if (outcome.workbookDelivered || outcome.delivered > 0)
        m_status = ExitStatus::Failed;
    else
        m_status = ExitStatus::NothingDelivered;
    writeCause(outcome.failure);
    QCoreApplication::exit(m_status);
}

void CommandLineUpload::stop(int signalNumber)
{
    if (m_status >= 0)
        return;
    m_status = ExitStatus::interrupted(signalNumber);
    m_spinner.stop();
    m_journal.stopStatus();
    // What is known now goes into the report, without waiting on the service.
    DocumentOutcome workbook;
    const QString report = m_jobStarted
        ? m_run.writeInterruptedReport(
            QStringLiteral("Загрузка прервана (%1)").arg(signalName(signalNumber)), &workbook)
        : QString();
    QString notice = QStringLiteral("unmz-upload: прервано (%1): %2.")
                         .arg(signalName(signalNumber),
                             sentSoFar(m_jobStarted, m_run.jobProgressSoFar(),
                                 report.isEmpty() ? std::nullopt : std::optional(workbook.result)));
    if (!report.isEmpty())
        notice += QStringLiteral(" Отчёт о загрузке: %1").arg(report);
    m_journal.writeErrorLine(notice);
    // The posts fail at once and the job ends without a line or a log entry.
    m_run.abandon();
    QCoreApplication::exit(m_status);
}

QString CommandLineUpload::sentSoFar(
    bool jobStarted, const JobProgress &progress, std::optional<DocumentOutcome::Result> fate)
{
    using Result = DocumentOutcome::Result;
    if (!jobStarted)
        return QStringLiteral("на сервер ничего не передано");
    if (!fate)
        fate = progress.workbookDelivered ? Result::Sent
            : progress.workbookSent       ? Result::Failed
                                          : Result::NotSent;
    QString workbook;
    switch (*fate) {
    case Result::Sent: workbook = QStringLiteral("реестр передан"); break;
    case Result::Failed:
        workbook = QStringLiteral("реестр отправлен, но сервер его не принял");
        break;
    case Result::Unconfirmed: return QStringLiteral("реестр отправлен, ответа сервера нет");
    case Result::NotSent: return QStringLiteral("реестр не отправлен");
    }
    if (progress.documentsTotal < 0)
        return workbook + QStringLiteral(", документы не передавались");
    // Skipped and refused documents count as done for the progress, not as delivered.
    const int delivered = progress.documentsSent - progress.documentsFailed;
    const QString failed = progress.documentsFailed > 0
        ? QStringLiteral(" (не передано: %1)").arg(progress.documentsFailed)
        : QString();
    if (progress.step == JobProgress::Step::Documents)
        return workbook
            + QStringLiteral(", передано %1 из %2 документов")
                  .arg(delivered)
                  .arg(progress.documentsTotal)
            + failed;
    if (progress.documentsFailed > 0)
        return workbook
            + QStringLiteral(", передано %1 из %2 документов")
                  .arg(delivered)
                  .arg(progress.documentsTotal)
            + failed + QStringLiteral(", их прикрепление на сервере не завершено");
    return workbook
        + QStringLiteral(", переданы все документы (%1), их прикрепление на сервере не завершено")
              .arg(progress.documentsTotal);
}
