#include "cli/ConsoleJournal.h"

#include <QStringList>

#include <atomic>
#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{

const QByteArray resetSequence = "\x1b[0m";
const QByteArray clearLine = "\r\x1b[K";
const QStringList spinner{QStringLiteral("⠋"), QStringLiteral("⠙"), QStringLiteral("⠹"),
    QStringLiteral("⠸"), QStringLiteral("⠼"), QStringLiteral("⠴"), QStringLiteral("⠦"),
    QStringLiteral("⠧"), QStringLiteral("⠇"), QStringLiteral("⠏")};

// Without a width from the terminal, the status line keeps within the classic 80.
constexpr int FallbackColumns = 80;

// Process-wide, as standard output and standard error are; atomic for writes from any thread.
std::atomic<int> stopFd{-1};
std::atomic<bool> stopping{false};

// Waits until `fd` takes bytes, is closed, or a stop comes; false when the wait failed.
bool waitWritable(int fd)
{
    pollfd fds[2] = {{fd, POLLOUT, 0}, {stopFd.load(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0)
        return errno == EINTR;
    // Readable, hung up or gone: the stop pipe can no longer be waited on either way. The
    // byte itself is left for the event loop, whose notifier turns it into the stop.
    if (fds[1].revents != 0)
        stopping.store(true);
    return true; // also for an error on fd: the next write tells what it is
}

} // namespace

void writeAll(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written >= 0) {
            data += written;
            left -= written;
        } else if (errno == EINTR) {
            continue;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return; // a closed output (EPIPE): nothing more can be shown
        } else if (stopping.load() || !waitWritable(fd)) {
            return; // the rest of the line is dropped: the run is ending
        }
    }
}

void ConsoleJournal::setStopFd(int fd)
{
    stopFd.store(fd);
    stopping.store(false);
}

bool ConsoleJournal::isStopping()
{
    return stopping.load();
}

ConsoleJournal::ConsoleJournal(int outputFd, int errorFd, Style style)
    : m_outputFd(outputFd)
    , m_errorFd(errorFd)
    , m_style(style)
{
}

QString ConsoleJournal::terminalSafe(const QString &text)
{
    QString safe;
    safe.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c == u'\r') {
            if (i + 1 < text.size() && text.at(i + 1) == u'\n')
                ++i;
            safe += u'\n';
        } else if (c == u'\n' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator) {
            safe += u'\n';
        } else if ((c < 0x20 && c != u'\t') || (c >= 0x7F && c < 0xA0)) {
            safe += QChar::ReplacementCharacter;
        } else {
            safe += QChar(c);
        }
    }
    return safe;
}

QByteArray ConsoleJournal::colourOn(JournalKind kind, bool trueColour)
{
    unsigned rgb = 0;
    QByteArray basic;
    switch (kind) {
    case JournalKind::Plain: return {};
    case JournalKind::Ok:
        rgb = okLineRgb;
        basic = "32";
        break;
    case JournalKind::Warning:
        rgb = warningLineRgb;
        basic = "34";
        break;
    case JournalKind::Error:
        rgb = errorLineRgb;
        basic = "31";
        break;
    }
    if (!trueColour)
        return "\x1b[1;" + basic + 'm';
    return "\x1b[1;38;2;" + QByteArray::number((rgb >> 16) & 0xFF) + ';'
        + QByteArray::number((rgb >> 8) & 0xFF) + ';' + QByteArray::number(rgb & 0xFF) + 'm';
}

void ConsoleJournal::addLine(JournalKind kind, const QString &text)
{
    ++m_num; // a line not shown still uses up its number, as in the window
    if (m_style.quiet && kind != JournalKind::Error)
        return;
    const auto [date, time] = journalStamp();
    const QByteArray line = terminalSafe(journalLineText(m_num, date, time, text)).toUtf8();
    const QByteArray on = m_style.colour ? colourOn(kind, m_style.trueColour) : QByteArray();
    clearStatusLine();
    writeAll(m_outputFd, on.isEmpty() ? line + '\n' : on + line + resetSequence + '\n');
    drawStatus();
}

void ConsoleJournal::setStatus(const QString &text)
{
    if (!m_style.status || m_statusStopped)
        return;
    if (!m_since.isValid())
        m_since.start();
    m_status = text;
    drawStatus();
}

void ConsoleJournal::tickStatus()
{
    ++m_spin;
    drawStatus();
}

void ConsoleJournal::stopStatus()
{
    clearStatusLine();
    m_statusStopped = true;
}

void ConsoleJournal::writeErrorLine(const QString &text)
{
    clearStatusLine();
    writeAll(m_errorFd, terminalSafe(text).toUtf8() + '\n');
    drawStatus();
}

int ConsoleJournal::terminalColumns() const
{
    winsize size{};
    if (::ioctl(m_errorFd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return FallbackColumns;
}

void ConsoleJournal::drawStatus()
{
    if (!m_style.status || m_statusStopped || m_status.isEmpty())
        return;
    const qint64 seconds = m_since.elapsed() / 1000;
    QString line = spinner.at(m_spin % spinner.size()) + u' ' + terminalSafe(m_status)
        + QStringLiteral(" · %1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
    line.replace(u'\n', u' ');
    // One column short of the width: a full line would wrap, and "\r" then redraws only
    // its last part.
    const int columns = terminalColumns() - 1;
    if (line.size() > columns)
        line.truncate(qMax(0, columns));
    writeAll(m_errorFd, clearLine + line.toUtf8());
    m_statusShown = true;
}

void ConsoleJournal::clearStatusLine()
{
    if (!m_statusShown)
        return;
    writeAll(m_errorFd, clearLine);
    m_statusShown = false;
}
