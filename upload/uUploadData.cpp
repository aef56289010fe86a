#include "upload/uUploadData.h"

#include "diag/Exception.h"
#include "diag/uLogWriter.h"
#include "net/FormPostClient.h"
#include "net/NetErrors.h"
#include "net/UploadService.h"
#include "upload/ThreadStart.h"
#include "upload/uFiles.h"

#include <QFileInfo>

#include <chrono>

QPointer<TDataUploader> dataUploader;
std::atomic<int> TDataUploader::stageClosingWaitMs{2001};

using Kind = UploadJobHost::LineKind;

QString skippedDocumentText(const FoundDocument &found)
{
    switch (found.problem) {
    case FoundDocument::Problem::NotUtf8:
        return QStringLiteral("Документ \"%1\" не передан: имя файла не в кодировке UTF-8. "
                              "Переименуйте файл.")
            .arg(found.shownPath);
    case FoundDocument::Problem::BadCharacters:
        return QStringLiteral("Документ \"%1\" не передан: имя содержит недопустимые символы. "
                              "Переименуйте файл.")
            .arg(found.shownPath);
    case FoundDocument::Problem::LinkOutside:
        return QStringLiteral("Ссылка \"%1\" ведёт за пределы папки реестра и пропущена.")
            .arg(found.shownPath);
    case FoundDocument::Problem::None: break;
    }
    return {};
}

QString skippedDocumentReason(const FoundDocument &found)
{
    switch (found.problem) {
    case FoundDocument::Problem::NotUtf8: return QStringLiteral("имя файла не в кодировке UTF-8");
    case FoundDocument::Problem::BadCharacters:
        return QStringLiteral("имя содержит недопустимые символы");
    case FoundDocument::Problem::LinkOutside:
        return QStringLiteral("ссылка ведёт за пределы папки реестра");
    case FoundDocument::Problem::None: break;
    }
    return {};
}

TDataUploader::TDataUploader(const QString &serverAddress, const QString &fileName,
    FormPostClient *inHttp, UploadJobHost *host, QObject *parent)
    : QThread(parent)
    , address(serverAddress)
    , registryFileName(fileName)
    , http(inHttp)
    , m_host(*host)
{
    connect(this, &QThread::finished, this, &QObject::deleteLater);
    setObjectName(QStringLiteral("TDataUploader"));
    const bool started = guarded("TDataUploader.Create: ", [this] {
        if (!startThread(*this))
            throw Exception(notStartedText);
    });
    // Queued: whoever started the job learns of its end after the start has returned,
    // as with a job that ran.
    if (!started)
        QMetaObject::invokeMethod(
            this, [this] { notStarted(); }, Qt::QueuedConnection);
}

void TDataUploader::notStarted()
{
    // Ends like a job that failed at its first step.
    guarded("TDataUploader.Create: ", [this] {
        m_host.jobFailed({notStartedText, {}});
        m_host.setProcessOk(false);
        endSteps();
    });
    deleteLater();
}

TDataUploader::~TDataUploader()
{
    guarded("TDataUploader.Destroy: ", [this] {
        // Only a job still running at exit is stopped here: cancelling aborts the job
        // client for good, and a finished job must leave it to the next one.
        if (isRunning()) {
            cancel();
            wait();
        }
    });
}

void TDataUploader::cancel()
{
    {
        std::lock_guard lock(m_waitMutex);
        m_cancelled = true;
    }
    m_wake.notify_all();
    if (http)
        http->abort();
}

void TDataUploader::throwIfCancelled() const
{
    if (m_cancelled)
        throw Exception(QStringLiteral("The upload was abandoned: the program is closing."));
}

void TDataUploader::run()
{
    Execute();
}

void TDataUploader::line(Kind kind, const QString &text)
{
    m_host.jobLine(kind, text);
}

QString TDataUploader::post()
{
    throwIfCancelled();
    {
        std::lock_guard lock(m_ledgerMutex);
        m_bodyLength = lParam->bodyLength();
    }
    const QString reply = UploadService::send(*http, address, *lParam);
    {
        std::lock_guard lock(m_ledgerMutex);
        m_bodyLength = -1;
    }
    lParam.reset();
    return reply;
}

TDataUploader::Ledger TDataUploader::interruptedLedger() const
{
    const QString interrupted = QStringLiteral("прервано");
    std::lock_guard lock(m_ledgerMutex);
    Ledger ledger{m_workbook, m_searched, m_outcomes};
    // The client's body count starts at 0 with each post.
    const bool bodyOut = m_bodyLength >= 0 && http && http->bodyBytesSent() == m_bodyLength;
    const auto interrupt = [&](DocumentOutcome &outcome, bool inFlight) {
        outcome.result = inFlight && bodyOut ? DocumentOutcome::Result::Unconfirmed
                                             : DocumentOutcome::Result::NotSent;
        outcome.reason = outcome.result == DocumentOutcome::Result::Unconfirmed
            ? QStringLiteral("прервано: ответ сервера не получен")
            : interrupted;
        outcome.time = QDateTime::currentDateTime();
    };
    if (m_workbookInFlight)
        interrupt(ledger.workbook, true);
    else if (ledger.workbook.result == DocumentOutcome::Result::NotSent)
        interrupt(ledger.workbook, false);
    for (qsizetype i = 0; i < ledger.documents.size(); ++i) {
        DocumentOutcome &document = ledger.documents[i];
        if (document.result == DocumentOutcome::Result::NotSent && document.reason.isEmpty())
            interrupt(document, i == m_current);
    }
    return ledger;
}

void TDataUploader::closeStage()
{
    m_host.setPollTimerActive(false);
    {
        std::unique_lock lock(m_waitMutex);
        m_wake.wait_for(lock, std::chrono::milliseconds(stageClosingWaitMs.load()),
            [this] { return m_cancelled.load(); });
    }
    if (!m_cancelled)
        m_host.runFinalFetch();
}

void TDataUploader::report(JobProgress::Step step)
{
    m_progress.step = step;
    m_host.jobProgress(m_progress);
}

std::vector<FoundDocument> TDataUploader::listDocuments()
{
    const QString workbookFolder = localFolderPart(registryFileName);
    std::vector<FoundDocument> documents = findDocuments(workbookFolder, &m_cancelled);
    QList<DocumentOutcome> outcomes;
    const QString prefix = workbookFolder + u'/';
    for (const FoundDocument &found : documents) {
        DocumentOutcome outcome;
        const QString &path
            = found.problem == FoundDocument::Problem::None ? found.path : found.shownPath;
        outcome.relativePath = path.startsWith(prefix) ? path.mid(prefix.size()) : path;
        if (found.problem == FoundDocument::Problem::None) {
            outcome.folderValue = documentPlacement(workbookFolder, found.path).folderValue;
            const QFileInfo file(found.path);
            outcome.size = file.exists() ? file.size() : -1;
            m_progress.documentBytesTotal += qMax<qint64>(outcome.size, 0);
        }
        outcomes << outcome;
    }
    {
        std::lock_guard lock(m_ledgerMutex);
        m_outcomes = std::move(outcomes);
        m_searched = true;
    }
    m_progress.documentsTotal = int(documents.size());
    return documents;
}

void TDataUploader::setWorkbookInFlight(bool inFlight)
{
    std::lock_guard lock(m_ledgerMutex);
    m_workbookInFlight = inFlight;
}

void TDataUploader::workbookEnded(DocumentOutcome::Result result, const QString &reason)
{
    std::lock_guard lock(m_ledgerMutex);
    m_workbookInFlight = false;
    m_workbook.result = result;
    m_workbook.reason = reason;
    m_workbook.time = QDateTime::currentDateTime();
}

QString TDataUploader::replyReason(const QString &reply, const QString &what) const
{
    // A reply that broke off may have been "success" in full: the service may have it.
    if (const std::optional<ReplyShortfall> cut = http->lastReplyShortfall())
        return QStringLiteral("ответ сервера оборван (%1 из %2 байт): %3 мог быть принят")
            .arg(cut->received)
            .arg(cut->announced)
            .arg(what);
    return reply.trimmed().left(MaxReportedReply);
}

void TDataUploader::documentEnded(DocumentOutcome::Result result, const QString &reason)
{
    std::lock_guard lock(m_ledgerMutex);
    DocumentOutcome &outcome = m_outcomes[m_current];
    outcome.result = result;
    outcome.reason = reason;
    outcome.time = QDateTime::currentDateTime();
    m_progress.documentBytesDone += qMax<qint64>(outcome.size, 0);
    m_progress.currentDocumentSize = 0;
    m_current = -1;
}

void TDataUploader::endSteps()
{
    // A job that ended before its search still names the documents it never sent.
    if (!m_searched && !m_cancelled)
        guarded("TDataUploader.Execute: ", [this] { listDocuments(); });
    {
        std::lock_guard lock(m_ledgerMutex);
        m_host.jobWorkbook(m_workbook);
        m_host.jobDocuments(m_outcomes);
    }
    report(JobProgress::Step::Ended);
    m_host.setUploadButtonEnabled(true);
    m_host.setProcess(false);
    m_host.startCompletionTimer();
}

void TDataUploader::Execute()
{
    using namespace UploadService;
    bool inProcessingStage = false;
    try {
        report(JobProgress::Step::Session);
        m_host.setUploadButtonEnabled(false);
        m_host.setProcessOk(true);
        m_host.setProcess(true);

        lParam = sessionForm();
        m_host.setSessionId(post());
        report(JobProgress::Step::Workbook);

        try {
            lParam = workbookForm(registryFileName);
        } catch (const std::exception &failure) {
            lParam.reset();
            workbookEnded(DocumentOutcome::Result::Failed,
                QStringLiteral("нет доступа к файлу: %1")
                    .arg(oneLineMessage(failureMessage(failure))));
            line(Kind::Error,
                QStringLiteral("Нет доступа к файлу \"%1\"! Вероятно он открыт "
                               "другим приложением")
                    .arg(registryFileName));
            m_host.setProcessOk(false);
            endSteps();
            return;
        }
        setWorkbookInFlight(true);
        const QString workbookReply = post();
        const bool workbookDelivered = isSuccess(workbookReply);
        workbookEnded(
            workbookDelivered ? DocumentOutcome::Result::Sent : DocumentOutcome::Result::Failed,
            workbookDelivered ? QString() : replyReason(workbookReply, QStringLiteral("реестр")));
        m_progress.workbookSent = true;
        m_progress.workbookDelivered = workbookDelivered;
        if (workbookDelivered) {
            line(Kind::Plain,
                QStringLiteral("Реестр УНМЗ \"%1\"  успешно передан на сервер!")
                    .arg(registryFileName));
        } else {
            line(Kind::Error,
                QStringLiteral("Ошибка передачи реестра УНМЗ \"%1\"  на сервер!")
                    .arg(registryFileName));
            // A workbook the service did not take is a failed upload, whatever follows.
            m_host.setProcessOk(false);
        }

        report(JobProgress::Step::Registry);
        inProcessingStage = true;
        m_host.setPollTimerActive(true);
        line(Kind::Plain,
            QStringLiteral("Начинаем загрузку сведений из реестра УНМЗ \"%1\" на "
                           "сервере. Пожалуйста подождите ...")
                .arg(registryFileName));
        lParam = processRegistryForm(!m_host.drawTilesSuppressed());
        const bool registryProcessed = isSuccess(post());
        if (!registryProcessed)
            m_host.setProcessOk(false);
        inProcessingStage = false;
        closeStage();
        if (!registryProcessed) {
            endSteps();
            return;
        }

        line(Kind::Plain, QStringLiteral("Начинаем передавать на сервер документы."));
        const QString workbookFolder = localFolderPart(registryFileName);
        const std::vector<FoundDocument> documents = listDocuments();
        report(JobProgress::Step::Documents);
        for (qsizetype index = 0; index < qsizetype(documents.size()); ++index) {
            const FoundDocument &found = documents[size_t(index)];
            {
                std::lock_guard lock(m_ledgerMutex);
                m_current = index;
            }
            if (found.problem != FoundDocument::Problem::None) {
                // Not sent, named in its place, and the upload goes on with the rest.
                line(Kind::Error, skippedDocumentText(found));
                m_host.setProcessOk(false);
                documentEnded(DocumentOutcome::Result::Failed, skippedDocumentReason(found));
                ++m_progress.documentsSent;
                ++m_progress.documentsFailed;
                report(JobProgress::Step::Documents);
                continue;
            }
            const QString &document = found.path;
            const DocumentPlacement placement = documentPlacement(workbookFolder, document);
            m_progress.currentDocumentSize = qMax<qint64>(m_outcomes.at(index).size, 0);
            report(JobProgress::Step::Documents);
            lParam = documentForm(placement.folderValue, placement.fileName, document);
            const QString reply = post();
            if (isSuccess(reply)) {
                documentEnded(DocumentOutcome::Result::Sent, {});
                line(Kind::Plain,
                    QStringLiteral("Документ \"%1\"  успешно передан на сервер!").arg(document));
            } else {
                documentEnded(DocumentOutcome::Result::Failed,
                    replyReason(reply, QStringLiteral("документ")));
                line(Kind::Error,
                    QStringLiteral("Ошибка передачи документа \"%1\"  на сервер!").arg(document));
                // A document the service did not take is a failed upload too.
                m_host.setProcessOk(false);
                ++m_progress.documentsFailed;
            }
            ++m_progress.documentsSent;
            report(JobProgress::Step::Documents);
        }

        line(Kind::Plain, QStringLiteral("Прикрепляем документы к УНМЗ."));
        report(JobProgress::Step::Attaching);
        inProcessingStage = true;
        m_host.setPollTimerActive(true);
        lParam = processFilesForm();
        if (!isSuccess(post()))
            m_host.setProcessOk(false);
        inProcessingStage = false;
        closeStage();
        endSteps();
    } catch (const std::exception &failure) {
        unexpectedFailure(inProcessingStage, &failure);
    } catch (...) {
        unexpectedFailure(inProcessingStage, nullptr);
    }
}

void TDataUploader::unexpectedFailure(bool inProcessingStage, const std::exception *failure)
{
    // A post cut short because the program is closing is no failure worth a log line. Read
    // now: the end steps below may let the program close, and a genuine failure must
    // still be logged then (the run waits for this thread before the process ends).
    const bool abandoned = m_cancelled;
    lParam.reset();
    const QString reason = failure ? failureMessage(*failure).trimmed().left(MaxReportedReply)
                                   : QStringLiteral("неизвестная ошибка");
    if (m_current >= 0)
        documentEnded(DocumentOutcome::Result::Failed, reason);
    bool workbookInFlight = false;
    {
        std::lock_guard lock(m_ledgerMutex);
        workbookInFlight = m_workbookInFlight;
    }
    if (workbookInFlight)
        workbookEnded(DocumentOutcome::Result::Failed, reason);
    // Before the end steps, so that the run's outcome names it.
    if (!abandoned)
        m_host.jobFailed(failure ? FailureCause{failureMessage(*failure), transportCause(*failure)}
                                 : FailureCause{QStringLiteral("неизвестная ошибка"), {}});
    // The window's side of these steps catches its own failures; this guard only keeps
    // a surprise from ending the process through the thread.
    guarded("TDataUploader.Execute: ", [&] {
        if (inProcessingStage)
            closeStage();
        m_host.setProcessOk(false);
        endSteps();
    });
    if (!abandoned)
        logFailure("TDataUploader.Execute: ", failure);
}
