#include "diag/uLogWriter.h"

#include "diag/Exception.h"
#include "diag/TimeTexts.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unicode/ucnv.h>
#include <unistd.h>

namespace
{

std::mutex seamMutex;
QString folderOverride;
std::function<QDateTime()> clockOverride;

QDateTime now()
{
    std::lock_guard lock(seamMutex);
    return clockOverride ? clockOverride() : QDateTime::currentDateTime();
}

QString executablePath()
{
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return {};
    return QString::fromLocal8Bit(buffer, n);
}

// windows-1251 bytes; a character the code page lacks becomes its default character "?".
QByteArray toAnsi(const QString &text)
{
    UErrorCode status = U_ZERO_ERROR;
    UConverter *conv = ucnv_open("windows-1251", &status);
    if (U_FAILURE(status))
        return text.toLatin1();
    // The code page's default character, as the system conversion writes it.
    ucnv_setSubstChars(conv, "?", 1, &status);
    QByteArray out(text.size() * 2 + 16, Qt::Uninitialized);
    status = U_ZERO_ERROR;
    const int32_t n = ucnv_fromUChars(conv, out.data(), out.size(),
        reinterpret_cast<const UChar *>(text.utf16()), text.size(), &status);
    ucnv_close(conv);
    if (U_FAILURE(status))
        return text.toLatin1();
    out.truncate(n);
    return out;
}

void writeWhole(int fd, const QByteArray &bytes)
{
    // One write() per line: with O_APPEND the kernel places it at the end of the file
    // as one piece, so concurrent writers (threads or processes) never interleave.
    const ssize_t ignored = ::write(fd, bytes.constData(), size_t(bytes.size()));
    (void)ignored; // a failed or short write is not noticed, like any log write
}

} // namespace

QString logFolder()
{
    {
        std::lock_guard lock(seamMutex);
        if (!folderOverride.isEmpty())
            return folderOverride;
    }
    const QString exe = executablePath();
    const qsizetype slash = exe.lastIndexOf(u'/');
    if (slash < 0)
        return {};
    return exe.left(slash) + QStringLiteral("/logs/");
}

void setLogFolderForTesting(const QString &folder)
{
    std::lock_guard lock(seamMutex);
    folderOverride = folder;
}

void setLogClockForTesting(std::function<QDateTime()> clock)
{
    std::lock_guard lock(seamMutex);
    clockOverride = std::move(clock);
}

QString logLine(const QString &timeText, const QByteArray &place, const QString &message)
{
    const QString stackText; // no stack capture is installed
    return trimControls(timeText) + u' ' + QString::fromLatin1(place) + QStringLiteral(" -> ")
        + stackText + QStringLiteral(": ") + message + QStringLiteral("\r\n");
}

void AddErrInfo(const QByteArray &place, const std::exception *failure)
{
    const QDate today = now().date();

    const QString folder = logFolder();
    QString folderPath = folder;
    while (folderPath.size() > 1 && folderPath.endsWith(u'/'))
        folderPath.chop(1);
    struct stat st {
    };
    if (folder.isEmpty()) {
        throw EInOutError(QStringLiteral("The log folder is unknown."), ENOENT);
    }
    if (::stat(QFile::encodeName(folderPath).constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (::mkdir(QFile::encodeName(folderPath).constData(), 0777) != 0) {
            // EEXIST is fine only when another writer made the folder meanwhile; a file
            // standing where the folder should be is a folder that can't be created.
            int error = errno;
            if (error == EEXIST
                && (::stat(QFile::encodeName(folderPath).constData(), &st) != 0
                    || !S_ISDIR(st.st_mode)))
                error = ENOTDIR;
            if (error != EEXIST)
                throw EInOutError(QString::fromLocal8Bit(std::strerror(error)), error);
        }
    }

    const QString message = failure ? failureMessage(*failure) : QString();
    const QString name = message.contains(QLatin1String("Socket error"))
        ? folder + QStringLiteral("net.log")
        : folder + QString::asprintf("%.4d%.2d%.2d.err", today.year(), today.month(), today.day());

    const int fd = ::open(
        QFile::encodeName(name).constData(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0)
        return; // a log that can't be opened is not reported anywhere

    try {
        writeWhole(fd, toAnsi(logLine(longTimeText(now().time()), place, message)));
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
}

void logFailure(const char *place, const std::exception *failure) noexcept
{
    try {
        AddErrInfo(QByteArray(place), failure);
    } catch (...) {
        // The log folder can't be created: there is nowhere left to report this,
        // and a lost log line must not end the program.
    }
}
