#include "upload/UploadRun.h"

#include "diag/Exception.h"
#include "diag/uLogWriter.h"
#include "net/FormPostClient.h"
#include "net/NetErrors.h"
#include "net/UploadService.h"
#include "upload/uFiles.h"
#include "upload/uUploadData.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSaveFile>
#include <QThread>
#include <QTimer>
#include <QTimerEvent>

namespace
{

// The system's error log names these places after the window's handlers, whichever
// front end runs the upload.
constexpr const char *fetchPlace = "TForm1.getLogFromServer: ";
constexpr const char *authPlace = "TForm1.auth: ";

std::mutex factoryMutex;
std::function<std::unique_ptr<FormPostClient>()> clientFactory;

std::function<bool(const QString &)> reportWriteRefused;

bool writeRefused(const QString &path)
{
    std::lock_guard lock(factoryMutex);
    return reportWriteRefused && reportWriteRefused(path);
}

// The path the command line named: replaced like any file a user names for output.
bool writeReportFile(const QString &path, const QByteArray &bytes)
{
    if (writeRefused(path))
        return false;
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

// A report named after its run never replaces another's (two runs in one second, or
// one workbook sent to two servers at once): a taken name gets a number. Empty on failure.
QString writeNamedReport(const QString &folder, const QString &name, const QByteArray &bytes)
{
    return writeRefused(folder + u'/' + name) ? QString() : writeNewReport(folder, name, bytes);
}

std::unique_ptr<FormPostClient> newClient()
{
    {
        std::lock_guard lock(factoryMutex);
        if (clientFactory)
            return clientFactory();
    }
    return std::make_unique<FormPostClient>();
}

} // namespace

QString registerExtension(const QString &path)
{
    const QString name = path.mid(path.lastIndexOf(u'/') + 1);
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot < 0 ? QString() : name.mid(dot);
}

bool isWorkbookPath(const QString &path)
{
    return registerExtension(path).contains(QStringLiteral("xls"));
}

UploadRun::UploadRun(JournalSink &journal, QObject *parent)
    : QObject(parent)
    , pollTimer(new QTimer(this))
    , completionTimer(new QTimer(this))
    , m_journal(journal)
    , m_address(defaultServerAddress)
    , m_posts(this)
{
    pollTimer->setInterval(pollIntervalMs);
    completionTimer->setInterval(completionIntervalMs);
}

UploadRun::~UploadRun()
{
    abandon();
    // A job still running ends now: its post is aborted and its waits cut short, and its
    // effects on this run are dropped, so it never outlives the job client.
    for (const QPointer<TDataUploader> &job : std::as_const(m_jobs))
        if (job) {
            job->wait();
            delete job.data();
        }
    // Likewise every post in flight, which uses the poll client or its own.
    m_posts.waitForDone();
}

void UploadRun::setClientFactoryForTesting(std::function<std::unique_ptr<FormPostClient>()> factory)
{
    std::lock_guard lock(factoryMutex);
    clientFactory = std::move(factory);
}

void UploadRun::setReportWriteRefusedForTesting(std::function<bool(const QString &)> refused)
{
    std::lock_guard lock(factoryMutex);
    reportWriteRefused = std::move(refused);
}

void UploadRun::setTimeouts(int connectMs, int idleMs)
{
    m_connectTimeoutMs = connectMs;
    m_idleTimeoutMs = idleMs;
}

void UploadRun::setTlsOptions(const TlsOptions &options)
{
    m_tls = options;
    applyTlsOptions();
}

void UploadRun::trustForSession(const QByteArray &sha256)
{
    if (!m_tls.trustedSha256.contains(sha256))
        m_tls.trustedSha256 << sha256;
    applyTlsOptions();
}

void UploadRun::applyTlsOptions()
{
    // Between posts only: the command changes trust before the job and the polls start.
    for (FormPostClient *client : {http.get(), timerHttp.get()})
        if (client)
            client->setTlsOptions(m_tls);
}

std::exception_ptr UploadRun::checkServer(const QString &address)
{
    if (m_abandoned)
        return {};
    std::exception_ptr failure;
    try {
        std::shared_ptr<FormPostClient> client = makeClient();
        m_authClient = client;
        const std::optional<PostOutcome> outcome = m_posts.await([client, address] {
            client->checkServer(address);
            return QString();
        });
        m_authClient.reset();
        if (m_abandoned || !outcome)
            return {};
        failure = outcome->failure;
        if (failure)
            std::rethrow_exception(failure);
    } catch (const std::exception &caught) {
        logFailure(authPlace, &caught);
        failure = std::current_exception();
    } catch (...) {
        logFailure(authPlace, nullptr);
        failure = std::current_exception();
    }
    return failure;
}

std::unique_ptr<FormPostClient> UploadRun::makeClient() const
{
    std::unique_ptr<FormPostClient> client = newClient();
    client->setTlsOptions(m_tls);
    client->setConnectTimeout(m_connectTimeoutMs);
    client->setIdleTimeout(m_idleTimeoutMs);
    return client;
}

void UploadRun::createClients()
{
    http = makeClient();
    timerHttp = makeClient();
    http->setRequestContentType(QStringLiteral("multipart/form-data"));
}

void UploadRun::setServerAddress(const QString &address)
{
    m_address = address;
}

bool UploadRun::onOwnThread() const
{
    return QThread::currentThread() == thread();
}

// ---- authorisation ----

bool UploadRun::authorise(
    const QString &address, const QString &webSessionId, const QString &serverName)
{
    if (m_abandoned)
        return false;
    m_authFailure = {};
    bool result = true;
    try {
        // Shared with the worker: the client lives until its post has returned.
        std::shared_ptr<FormPostClient> lHTTP = makeClient();
        lHTTP->setRequestContentType(QStringLiteral("multipart/form-data"));
        std::shared_ptr<MultipartForm> lParam = UploadService::authForm(webSessionId);
        m_authClient = lHTTP;
        const std::optional<PostOutcome> outcome = m_posts.await(
            [lHTTP, address, lParam] { return UploadService::send(*lHTTP, address, *lParam); });
        m_authClient.reset();
        // Exit during the authorisation: the post was cut short, which is nobody's failure.
        if (m_abandoned || !outcome)
            return false;
        if (outcome->failure)
            std::rethrow_exception(outcome->failure);
        if (UploadService::isSuccess(outcome->reply)) {
            m_journal.addLine(JournalKind::Ok,
                QStringLiteral("Успешная авторизация на сервере \"%1\"!").arg(serverName));
        } else {
            m_journal.addLine(JournalKind::Error,
                QStringLiteral(
                    "НЕУДАЧНАЯ АВТОРИЗАЦИЯ на сервере \"%1\"! Вероятно пользователь скачавший "
                    "приложение не имеет права загружать реестр, завершил работу на сервере или "
                    "его сессия завершилась автоматически. Пожалуйста, проверьте что у Вас есть "
                    "права на загрузку реестра и повторите загрузку, заново скачав "
                    "приложениеЕсли ошибка повторится - обратитесь к разработчику приложения.")
                    .arg(serverName));
            result = false;
        }
    } catch (const std::exception &failure) {
        logFailure(authPlace, &failure);
        m_authFailure = {failureMessage(failure), transportCause(failure)};
        result = false;
    } catch (...) {
        logFailure(authPlace, nullptr);
        m_authFailure = {QStringLiteral("неизвестная ошибка"), {}};
        result = false;
    }
    return result;
}

// ---- the job ----

void UploadRun::startJob(const QString &address, const QString &workbookPath)
{
    if (m_jobActive)
        throw Exception(QStringLiteral("An upload job is already running."));
    if (!clientsReady())
        throw Exception(
            QStringLiteral("The job client and the poll client were not created at start-up."));
    // Off before the job exists: no second command can start a job on the same client
    // before this one's first step.
    m_jobActive = true;
    emit uploadButtonEnabled(false);
    process = true;
    {
        std::lock_guard lock(m_waitMutex);
        m_progress = {};
        m_staleBodyBytes = http->bodyBytesSent();
        m_documentsStage.invalidate();
    }
    m_jobAddress = address;
    m_workbookPath = workbookPath;
    m_started = QDateTime::currentDateTime();
    m_documents.clear();
    m_workbookOutcome = {};
    m_jobFailure = {};
    m_lastReportPath.clear();
    m_reportDue = true;
    // Finished jobs release themselves; keep only those still around.
    m_jobs.removeAll(QPointer<TDataUploader>());
    auto *job = new TDataUploader(address, workbookPath, http.get(), this);
    m_jobs << job;
    dataUploader = job;
}

void UploadRun::effect(std::function<void()> step)
{
    if (m_abandoned)
        return;
    if (onOwnThread()) {
        step();
        return;
    }
    // Queued, never waited for: the job's effects keep their order, and this thread may
    // be inside a modal dialog meanwhile.
    QMetaObject::invokeMethod(
        this,
        [this, step = std::move(step)] {
            if (m_abandoned)
                return;
            if (m_relay)
                m_heldEffects << step;
            else
                step();
        },
        Qt::QueuedConnection);
}

void UploadRun::jobLine(LineKind kind, const QString &text)
{
    effect([this, kind, text] {
        m_journal.addLine(kind == LineKind::Error ? JournalKind::Error : JournalKind::Plain, text);
    });
}

void UploadRun::setUploadButtonEnabled(bool enabled)
{
    effect([this, enabled] {
        if (enabled)
            m_jobActive = false;
        emit uploadButtonEnabled(enabled);
    });
}

void UploadRun::setPollTimerActive(bool active)
{
    effect([this, active] {
        if (active)
            pollTimer->start();
        else
            pollTimer->stop();
    });
}

void UploadRun::startCompletionTimer()
{
    effect([this] {
        // Its lines come before the completion line, which the timer's first tick adds.
        guarded("UploadRun.writeReport: ", [this] { writeReport(); });
        completionTimer->start();
        emit jobEnded();
    });
}

void UploadRun::setProcess(bool running)
{
    effect([this, running] { process = running; });
}

void UploadRun::setProcessOk(bool ok)
{
    effect([this, ok] { processOk = ok; });
}

void UploadRun::setSessionId(const QString &id)
{
    effect([this, id] { sessionId = id; });
}

void UploadRun::jobProgress(const JobProgress &progress)
{
    {
        std::lock_guard lock(m_waitMutex);
        if (progress.step == JobProgress::Step::Documents && !m_documentsStage.isValid())
            m_documentsStage.start();
        if (progress.step != JobProgress::Step::Documents && m_documentsStage.isValid()
            && m_progress.step == JobProgress::Step::Documents) {
            const qint64 ms = m_documentsStage.elapsed();
            if (progress.documentBytesDone > 0)
                m_lastBytesPerSecond = progress.documentBytesDone * 1000 / qMax<qint64>(ms, 1);
        }
        m_progress = progress;
        // Called on the job's thread between its posts: what the client counts now is the
        // previous post's, not yet reset by the next one.
        if (http)
            m_staleBodyBytes = http->bodyBytesSent();
    }
    effect([this, progress] { emit progressChanged(progress); });
}

JobProgress UploadRun::jobProgressSoFar() const
{
    std::lock_guard lock(m_waitMutex);
    return m_progress;
}

qint64 UploadRun::documentBytesSentSoFar() const
{
    std::lock_guard lock(m_waitMutex);
    qint64 bytes = m_progress.documentBytesDone;
    if (m_progress.step == JobProgress::Step::Documents && m_progress.currentDocumentSize > 0
        && http) {
        const qint64 body = http->bodyBytesSent();
        if (body != m_staleBodyBytes)
            bytes += qMin(body, m_progress.currentDocumentSize);
    }
    return bytes;
}

void UploadRun::jobDocuments(const QList<DocumentOutcome> &documents)
{
    effect([this, documents] { m_documents = documents; });
}

void UploadRun::jobWorkbook(const DocumentOutcome &workbook)
{
    effect([this, workbook] { m_workbookOutcome = workbook; });
}

void UploadRun::jobFailed(const FailureCause &failure)
{
    effect([this, failure] { m_jobFailure = failure; });
}

QList<DocumentOutcome> UploadRun::lastFailedDocuments() const
{
    QList<DocumentOutcome> failed;
    for (const DocumentOutcome &document : m_documents)
        if (document.result == DocumentOutcome::Result::Failed)
            failed << document;
    return failed;
}

void UploadRun::writeReport()
{
    // One report per job started here; a completion step without one writes none.
    if (!std::exchange(m_reportDue, false))
        return;
    RunReport report;
    report.outcome = processOk ? UploadTexts::completedOk : UploadTexts::completedWithErrors;
    report.workbook = m_workbookOutcome;
    report.documents = m_documents;
    bool inLogFolder = false;
    const QString written = saveReport(report, inLogFolder);
    if (written.isEmpty()) {
        m_journal.addLine(JournalKind::Error,
            QStringLiteral("Не удалось сохранить отчёт о загрузке: \"%1\"")
                .arg(QDir::cleanPath(QDir::cleanPath(logFolder()) + u'/'
                    + reportFileName(m_workbookPath, m_started))));
    } else if (inLogFolder) {
        m_journal.addLine(JournalKind::Plain,
            QStringLiteral("Отчёт о загрузке сохранён в папке журналов ошибок: \"%1\"")
                .arg(written));
    } else {
        m_journal.addLine(
            JournalKind::Plain, QStringLiteral("Отчёт о загрузке сохранён: \"%1\"").arg(written));
    }
    m_lastReportPath = written;
    if (!written.isEmpty())
        emit reportWritten(written);
}

QString UploadRun::saveReport(const RunReport &fields, bool &inLogFolder)
{
    RunReport report = fields;
    report.serverAddress = m_jobAddress;
    report.workbookPath = m_workbookPath;
    const QFileInfo workbook(m_workbookPath);
    report.workbookSize = workbook.isFile() ? workbook.size() : -1;
    report.started = m_started;
    report.finished = QDateTime::currentDateTime();
    const QByteArray bytes = reportCsv(report);
    const QString name = reportFileName(m_workbookPath, m_started);

    inLogFolder = false;
    QString written;
    if (m_reportPath.isEmpty()) {
        written = writeNamedReport(localFolderPart(m_workbookPath), name, bytes);
    } else {
        const QString path = QFileInfo(m_reportPath).absoluteFilePath();
        if (writeReportFile(path, bytes))
            written = path;
    }
    if (written.isEmpty()) {
        // Never lost for want of a writable folder: the log folder takes it.
        const QString folder = QDir::cleanPath(logFolder());
        QDir().mkpath(folder);
        written = writeNamedReport(folder, name, bytes);
        inLogFolder = !written.isEmpty();
    }
    return written;
}

QString UploadRun::writeInterruptedReport(const QString &outcome, DocumentOutcome *workbook)
{
    if (!m_reportDue || m_abandoned)
        return {};
    TDataUploader *job = nullptr;
    for (const QPointer<TDataUploader> &candidate : std::as_const(m_jobs))
        if (candidate)
            job = candidate.data();
    if (!job)
        return {};
    m_reportDue = false;
    const TDataUploader::Ledger ledger = job->interruptedLedger();
    if (workbook)
        *workbook = ledger.workbook;
    RunReport report;
    report.outcome = outcome;
    report.workbook = ledger.workbook;
    report.documentsSearched = ledger.searched;
    report.documents = ledger.documents;
    bool inLogFolder = false;
    m_lastReportPath = saveReport(report, inLogFolder);
    return m_lastReportPath;
}

// ---- progress fetches ----

void UploadRun::fetchProgress()
{
    if (m_abandoned)
        return;
    if (!timerHttp)
        throw Exception(QStringLiteral("The poll client was not created at start-up."));
    // The poll client serves one fetch at a time: a tick that finds one in progress (a
    // slow poll, or the job's final fetch) starts none.
    if (m_fetchBusy)
        return;
    beginFetch(nullptr);
}

void UploadRun::runFinalFetch()
{
    auto wait = std::make_shared<FinalFetchWait>();
    if (onOwnThread()) {
        // Nothing to wait on here: the fetch runs like a poll that no tick can skip.
        requestFinalFetch(wait);
        return;
    }
    effect([this, wait] { requestFinalFetch(wait); });
    // A wait on the job's thread, which this run's thread ends by releasing it.
    std::unique_lock lock(m_waitMutex);
    m_finalFetchDone.wait(lock, [&] { return wait->done || m_abandoned; });
}

void UploadRun::requestFinalFetch(const std::shared_ptr<FinalFetchWait> &wait)
{
    if (m_abandoned)
        return releaseWait(wait);
    if (!timerHttp) {
        const Exception missing(QStringLiteral("The poll client was not created at start-up."));
        logFailure(fetchPlace, &missing);
        return releaseWait(wait);
    }
    if (m_fetchBusy) {
        // After the poll in progress, before any further tick.
        m_pendingFinalFetch = wait;
        return;
    }
    beginFetch(wait);
}

void UploadRun::beginFetch(const std::shared_ptr<FinalFetchWait> &wait)
{
    m_fetchBusy = true;
    std::shared_ptr<MultipartForm> form;
    try {
        form = UploadService::progressForm(sessionId);
    } catch (...) {
        fetchEnded({{}, std::current_exception()}, wait);
        return;
    }
    FormPostClient *client = timerHttp.get();
    const QString address = m_address;
    m_posts.start([client, address, form] { return UploadService::send(*client, address, *form); },
        [this, wait](const PostOutcome &outcome) { fetchEnded(outcome, wait); });
}

void UploadRun::fetchEnded(const PostOutcome &outcome, const std::shared_ptr<FinalFetchWait> &wait)
{
    // Cut short at exit: no failure worth a log line, and no journal to write to.
    if (m_abandoned)
        return finishFetch(wait);
    if (outcome.failure) {
        guarded(fetchPlace, [&] { std::rethrow_exception(outcome.failure); });
        return finishFetch(wait);
    }
    // The service is at work and says so: the job's post in flight (a long processing
    // request) is not idle.
    if (!outcome.reply.isEmpty() && http)
        http->resetIdleClock();
    // The fetch stays in progress until the reply's last line is in the journal.
    m_relay = std::make_unique<Relay>(Relay{ProgressItemReader(outcome.reply), wait});
    relaySlice();
}

void UploadRun::relaySlice()
{
    if (!m_relay)
        return;
    bool done = true;
    if (!m_abandoned)
        guarded(fetchPlace, [&] { done = relayItems(m_relay->items); });
    if (!done && !m_abandoned) {
        // The rest once the events that came meanwhile are handled: a zero timer, which
        // waits for them (a posted call might not), and never a nested loop.
        m_relaySlices.start(0, this);
        return;
    }
    const std::shared_ptr<FinalFetchWait> wait = std::move(m_relay->wait);
    m_relay.reset();
    finishFetch(wait);
}

bool UploadRun::relayItems(ProgressItemReader &items)
{
    QElapsedTimer slice;
    slice.start();
    while (!items.atEnd()) {
        // A batch is laid out and shown at its end: its size bounds the time between
        // two looks at the clock.
        JournalBatch batch(m_journal);
        int count = 0;
        qsizetype chars = 0;
        while (!items.atEnd() && count < relayBatchItems && chars < relayBatchChars) {
            const ProgressLine line = classifyProgressItem(items.next());
            ++count;
            chars += line.text.size();
            if (line.complete)
                pollTimer->stop();
            else
                m_journal.addLine(line.kind, line.text);
        }
        if (slice.elapsed() >= relaySliceMs)
            break;
    }
    return items.atEnd();
}

void UploadRun::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_relaySlices.timerId())
        return QObject::timerEvent(event);
    m_relaySlices.stop();
    relaySlice();
}

void UploadRun::finishFetch(const std::shared_ptr<FinalFetchWait> &wait)
{
    m_fetchBusy = false;
    releaseWait(wait);
    if (std::shared_ptr<FinalFetchWait> pending = std::exchange(m_pendingFinalFetch, nullptr))
        requestFinalFetch(pending);
    runHeldEffects();
}

void UploadRun::runHeldEffects()
{
    while (!m_relay && !m_abandoned && !m_heldEffects.isEmpty())
        m_heldEffects.takeFirst()();
    if (m_abandoned)
        m_heldEffects.clear();
}

void UploadRun::releaseWait(const std::shared_ptr<FinalFetchWait> &wait)
{
    if (!wait)
        return;
    {
        std::lock_guard lock(m_waitMutex);
        wait->done = true;
    }
    m_finalFetchDone.notify_all();
}

// ---- completion and exit ----

std::optional<bool> UploadRun::completionNotice()
{
    if (process)
        return std::nullopt; // a job is running; its end switches the timer on again
    completionTimer->stop();
    const bool ok = processOk;
    m_journal.addLine(ok ? JournalKind::Ok : JournalKind::Error,
        ok ? UploadTexts::completedOk : UploadTexts::completedWithErrors);
    return ok;
}

void UploadRun::abandon()
{
    {
        std::lock_guard lock(m_waitMutex);
        if (m_abandoned.exchange(true))
            return;
    }
    m_finalFetchDone.notify_all();
    pollTimer->stop();
    completionTimer->stop();
    m_pendingFinalFetch.reset();
    m_heldEffects.clear();
    // A job learns it is being abandoned before its post fails, so it logs nothing.
    for (const QPointer<TDataUploader> &job : std::as_const(m_jobs))
        if (job)
            job->cancel();
    if (http)
        http->abort();
    if (timerHttp)
        timerHttp->abort();
    if (const std::shared_ptr<FormPostClient> client = m_authClient.lock())
        client->abort();
}
