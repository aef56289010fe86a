#include "upload/SetCheck.h"

#include "diag/Exception.h"
#include "net/MultipartForm.h"
#include "upload/ThreadStart.h"
#include "upload/uFiles.h"

#include <QThread>

#include <cerrno>
#include <cmath>
#include <unistd.h>

namespace
{

const QString renameAdvice = QStringLiteral("Переименуйте файл.");

// Opens the file by the upload's own rule and looks at its first bytes. Adds a problem
// and returns false when the file would fail in an upload.
bool checkFile(const QString &path, const QString &shownPath, bool isPdf, SetCheckResult &result)
{
    auto problem = [&](const QString &reason, const QString &advice) {
        result.problems << SetProblem{shownPath, reason, advice};
        return false;
    };
    try {
        const FormFile file(path);
        if (file.size() == 0)
            return problem(QStringLiteral("Файл пуст."),
                QStringLiteral("Замените его файлом с содержимым или уберите из папки."));
        result.totalBytes += file.size();
        if (isPdf) {
            char head[5] = {};
            if (::pread(file.fd(), head, sizeof head, 0) != qint64(sizeof head)
                || QByteArray(head, sizeof head) != "%PDF-")
                return problem(QStringLiteral("Файл не является документом PDF."),
                    QStringLiteral("Сохраните документ в формате PDF или уберите файл из папки."));
        }
        return true;
    } catch (const EInOutError &failure) {
        if (failure.errorCode() == EBUSY)
            return problem(QStringLiteral("Файл открыт для записи в другой программе."),
                QStringLiteral("Закройте его в этой программе и проверьте комплект снова."));
        return problem(QStringLiteral("Файл не удаётся открыть для чтения: %1")
                           .arg(failure.message().section(QStringLiteral("\". "), -1)),
            QStringLiteral("Проверьте, что файл на месте и доступен для чтения."));
    } catch (const Exception &failure) {
        return problem(QStringLiteral("Файл не удаётся прочитать: %1").arg(failure.message()),
            QStringLiteral("Проверьте, что файл на месте и доступен для чтения."));
    }
}

} // namespace

SetCheckResult checkSet(const QString &workbookPath, const std::atomic<bool> *stop)
{
    SetCheckResult result;
    checkFile(workbookPath, workbookPath, false, result);
    for (const FoundDocument &document : findDocuments(localFolderPart(workbookPath), stop)) {
        if (stop && stop->load())
            break;
        ++result.documentCount;
        switch (document.problem) {
        case FoundDocument::Problem::NotUtf8:
            result.problems << SetProblem{document.shownPath,
                QStringLiteral("Имя файла не в кодировке UTF-8: сервер его не примет."),
                renameAdvice};
            break;
        case FoundDocument::Problem::BadCharacters:
            result.problems << SetProblem{document.shownPath,
                QStringLiteral("Имя содержит недопустимые символы (управляющие или \"\\\")."),
                renameAdvice};
            break;
        case FoundDocument::Problem::LinkOutside:
            result.problems << SetProblem{document.shownPath,
                QStringLiteral("Ссылка ведёт за пределы папки реестра: она будет пропущена."),
                QStringLiteral("Скопируйте документ в папку реестра вместо ссылки.")};
            break;
        case FoundDocument::Problem::None:
            checkFile(document.path, document.shownPath, true, result);
            break;
        }
    }
    return result;
}

QString estimatedTimeText(qint64 bytes, double bytesPerSecond)
{
    if (!(bytesPerSecond > 0))
        return {};
    const qint64 seconds = qint64(std::ceil(double(bytes) / bytesPerSecond));
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600)
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

SetCheckRunner::SetCheckRunner(QObject *parent)
    : QObject(parent)
{
}

SetCheckRunner::~SetCheckRunner()
{
    finish();
}

void SetCheckRunner::finish()
{
    m_stop = true;
    if (m_thread)
        m_thread->wait();
}

bool SetCheckRunner::start(const QString &workbookPath, Done done)
{
    if (m_running)
        return false;
    if (m_thread)
        m_thread->wait(); // the last check has already sent its result
    m_stop = false;
    m_thread.reset(QThread::create([this, workbookPath, done = std::move(done)] {
        const SetCheckResult result = checkSet(workbookPath, &m_stop);
        // Queued to this object: dropped if it is gone, and it waits for this thread first.
        QMetaObject::invokeMethod(
            this,
            [this, workbookPath, result, done] {
                m_running = false;
                if (!m_stop)
                    done(workbookPath, result);
            },
            Qt::QueuedConnection);
    }));
    m_thread->setObjectName(threadName);
    m_running = startThread(*m_thread);
    return m_running;
}
