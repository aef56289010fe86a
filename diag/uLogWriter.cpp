#include "diag/uLogWriter.h"

#include "diag/Exception.h"
#include "diag/TimeTexts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

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
LogPlacement placementOverride;
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

void writeOnce(int fd, const QByteArray &bytes)
{
    // One write() per line: with O_APPEND the kernel places it at the end of the file
    // as one piece, so concurrent writers (threads or processes) never interleave.
    const ssize_t ignored = ::write(fd, bytes.constData(), size_t(bytes.size()));
    (void)ignored; // a failed or short write is not noticed, like any log write
}

bool canWriteFolder(const QString &folder)
{
    return ::access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0;
}

// Makes every missing level of `folder` (no trailing "/"), private to the user like the
// rest of the state folder. Fails when a level can't be made.
void makeFolderPath(const QString &folder)
{
    qsizetype from = 1;
    while (true) {
        const qsizetype slash = folder.indexOf(u'/', from);
        const QString level = slash < 0 ? folder : folder.left(slash);
        if (::mkdir(QFile::encodeName(level).constData(), 0700) != 0 && errno != EEXIST)
            throw EInOutError(QString::fromLocal8Bit(std::strerror(errno)), errno);
        if (slash < 0)
            return;
        from = slash + 1;
    }
}

bool isControlOrSeparator(char16_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

} // namespace

LogPlacement chooseLogFolder(const QString &executable, const QString &xdgStateHome,
    const QString &home, const std::function<bool(const QString &)> &canWrite)
{
    // Only an absolute XDG_STATE_HOME counts; a relative one is to be ignored.
    const QString stateHome = xdgStateHome.startsWith(u'/')
        ? xdgStateHome
        : (home.isEmpty() ? QStringLiteral("/tmp") : home) + QStringLiteral("/.local/state");
    const LogPlacement xdg{stateHome + QStringLiteral("/unmz-uploader/logs/"), true};

    const qsizetype slash = executable.lastIndexOf(u'/');
    if (slash < 0)
        return xdg;
    const QString folder = executable.left(slash);
    // An installed program's folder belongs to the system, whoever may write to it.
    if (folder == QLatin1String("/usr") || folder.startsWith(QLatin1String("/usr/"))
        || folder == QLatin1String("/opt") || folder.startsWith(QLatin1String("/opt/")))
        return xdg;
    const QString beside = folder + QStringLiteral("/logs");
    const QFileInfo besideInfo(beside);
    // A file (or a dangling link) named "logs" stands where the folder would be made.
    const bool writable = besideInfo.isDir()
        ? canWrite(beside)
        : !besideInfo.exists() && !besideInfo.isSymLink() && canWrite(folder);
    return writable ? LogPlacement{beside + u'/', false} : xdg;
}

QString sanitizedLogMessage(const QString &message)
{
    QString out;
    out.reserve(qMin(message.size(), MaxLoggedMessage) + 32);
    qsizetype from = 0;
    // A socket error's own line break, between its number and its description, stays.
    static const QRegularExpression socketHead(QStringLiteral("^Socket Error # \\d+\r\n"));
    const QRegularExpressionMatch head = socketHead.match(message);
    if (head.hasMatch()) {
        out += head.captured();
        from = head.capturedLength();
    }
    const qsizetype end = qMin(message.size(), from + MaxLoggedMessage);
    for (qsizetype i = from; i < end; ++i) {
        const char16_t c = message.at(i).unicode();
        if (isControlOrSeparator(c))
            out += QString::asprintf("\\x%02X", uint(c));
        else
            out += QChar(c);
    }
    if (end < message.size())
        out += QStringLiteral(" [%1 more characters not logged]").arg(message.size() - end);
    return out;
}

static LogPlacement logPlacement()
{
    {
        std::lock_guard lock(seamMutex);
        if (!placementOverride.folder.isEmpty())
            return placementOverride;
    }
    return chooseLogFolder(executablePath(), qEnvironmentVariable("XDG_STATE_HOME"),
        qEnvironmentVariable("HOME"), canWriteFolder);
}

QString logFolder()
{
    return logPlacement().folder;
}

static QString dailyLogName(const QDate &day)
{
    return QString::asprintf("%.4d%.2d%.2d.err", day.year(), day.month(), day.day());
}

QString logFilePath()
{
    return QDir::cleanPath(logFolder() + dailyLogName(now().date()));
}

QString logFolderOverrideForTesting()
{
    std::lock_guard lock(seamMutex);
    return placementOverride.folder;
}

void setLogFolderForTesting(const QString &folder)
{
    setLogPlacementForTesting({folder, false});
}

void setLogPlacementForTesting(const LogPlacement &placement)
{
    std::lock_guard lock(seamMutex);
    placementOverride = placement;
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

    const LogPlacement placement = logPlacement();
    const QString &folder = placement.folder;
    QString folderPath = folder;
    while (folderPath.size() > 1 && folderPath.endsWith(u'/'))
        folderPath.chop(1);
    struct stat st {
    };
    if (folder.isEmpty()) {
        throw EInOutError(QStringLiteral("The log folder is unknown."), ENOENT);
    }
    if (placement.makeParents && ::stat(QFile::encodeName(folderPath).constData(), &st) != 0)
        makeFolderPath(folderPath);
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

    const QString message = failure ? sanitizedLogMessage(failureMessage(*failure)) : QString();
    const QString name = message.contains(QLatin1String("Socket error"))
        ? folder + QStringLiteral("net.log")
        : folder + dailyLogName(today);

    const int fd = ::open(
        QFile::encodeName(name).constData(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0)
        return; // a log that can't be opened is not reported anywhere

    try {
        writeOnce(fd, toAnsi(logLine(longTimeText(now().time()), place, message)));
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
