// The error log: one windows-1251 line per caught failure, appended to a daily file
// "logs/YYYYMMDD.err" beside the executable, or to "logs/net.log" when the message
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

// Seams for tests: the log folder (with its trailing "/") and the clock. Empty
// folder / null clock restore the real ones.
void setLogFolderForTesting(const QString &folder);
void setLogClockForTesting(std::function<QDateTime()> clock);
QString logFolder();
