// The error log: one windows-1251 line per caught failure, appended to a daily file
// "YYYYMMDD.err" in the log folder (chooseLogFolder), or to "net.log" when the message
// holds "Socket error". Lines from concurrent writers never tear (O_APPEND, one write).
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <exception>
#include <functional>

// Appends one line for `failure` (may be null) caught at `place`. Throws EInOutError
// when the log folder is missing and cannot be created; returns silently when the
// file cannot be opened.
void AddErrInfo(const QByteArray &place, const std::exception *failure);

// Hands a caught failure to AddErrInfo and swallows a failure of AddErrInfo itself,
// so that a log that can't be written never ends the process.
void logFailure(const char *place, const std::exception *failure) noexcept;

// Runs `body`; a failure it raises goes to the log under `place`. True when it ran through.
template <class Body> bool guarded(const char *place, Body &&body) noexcept
{
    try {
        body();
        return true;
    } catch (const std::exception &failure) {
        logFailure(place, &failure);
    } catch (...) {
        logFailure(place, nullptr);
    }
    return false;
}

// The log line for a failure, before conversion: time, place, " -> ", the (always
// empty) stack text, ": ", message, CR LF.
QString logLine(const QString &timeText, const QByteArray &place, const QString &message);

// The longest message text one log line carries; the rest is dropped with a marker.
inline constexpr qsizetype MaxLoggedMessage = 4096;

// A failure's message as the log writes it: every control character (a service's reply
// may hold any) as \xNN, so one failure is always one line; the socket error's own line
// break after its number kept; at most MaxLoggedMessage characters and a marker.
QString sanitizedLogMessage(const QString &message);

struct LogPlacement {
    QString folder;   // with its trailing "/"
    bool makeParents; // the XDG state folder may lack every level
};
// Where the logs go: an installed program (under /usr or /opt) logs to
// $XDG_STATE_HOME/unmz-uploader/logs/ (default ~/.local/state/...); a copy anywhere
// else logs beside itself when `canWrite` says that folder can be written and nothing but
// a folder is named "logs" there, else also to the XDG folder, so a log is never lost for
// want of a writable folder.
LogPlacement chooseLogFolder(const QString &executable, const QString &xdgStateHome,
    const QString &home, const std::function<bool(const QString &)> &canWrite);

// Seams for tests: the log folder (with its trailing "/") and the clock. Empty
// folder / null clock restore the real ones.
void setLogFolderForTesting(const QString &folder);
void setLogPlacementForTesting(const LogPlacement &placement);
void setLogClockForTesting(std::function<QDateTime()> clock);
QString logFolder();
// Today's error log file, where a failure logged now goes (most do; see AddErrInfo).
QString logFilePath();
QString logFolderOverrideForTesting(); // empty when the real folder is in use
