// The journal of a command-line upload: every line numbered and time-stamped as in the
// window, written to standard output, the ok, warning and error lines in the window's
// colours and bold where colour is on (ANSI); and a one-line status on standard error,
// redrawn in place and cleared before each journal line.
#pragma once

#include "upload/JournalLines.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

class ConsoleJournal : public JournalSink
{
public:
    struct Style {
        bool colour = false;
        bool trueColour = false; // 24-bit colour sequences rather than the basic eight
        bool quiet = false;      // only error lines (numbers still count every line)
        bool status = false;     // the status line (standard error is a terminal)
    };

    ConsoleJournal(int outputFd, int errorFd, Style style);

    void addLine(JournalKind kind, const QString &text) override;
    // Every line from now on, also in quiet mode (the final line).
    void showEveryLine() { m_style.quiet = false; }
    int lineCount() const { return m_num; }

    // The status line's text; shown from now on, with a spinner and the time since the
    // first status. tickStatus redraws it; stopStatus clears it for good.
    void setStatus(const QString &text);
    void tickStatus();
    void stopStatus();
    // One line on standard error (the interrupt notice), the status line cleared first.
    void writeErrorLine(const QString &text);

    // What a journal text may carry onto a terminal: its line breaks as "\n", every other
    // control character (C0 but tab, DEL, C1) as U+FFFD, so that no text from the service
    // can move the cursor, recolour or retitle the user's terminal.
    static QString terminalSafe(const QString &text);
    // The colour sequence of a kind, empty for plain lines.
    static QByteArray colourOn(JournalKind kind, bool trueColour);

    // The fd whose readability means "stop" to writeAll (StopSignals::pipeReadFd()), -1 for
    // none; the writer is not stopping until the fd has been seen readable again.
    static void setStopFd(int fd);
    // Whether writeAll has seen the stop fd readable and no longer waits.
    static bool isStopping();

private:
    void drawStatus();
    void clearStatusLine();
    int terminalColumns() const;

    int m_outputFd;
    int m_errorFd;
    Style m_style;
    int m_num = 0;
    QString m_status;
    bool m_statusShown = false;
    bool m_statusStopped = false;
    int m_spin = 0;
    QElapsedTimer m_since;
};

// Writes all of `bytes`, across short writes and interrupted calls. A full output that
// does not block (EAGAIN) is waited for until it takes bytes again or the stop fd becomes
// readable; from then on the writer is stopping: a full output is tried once, never waited
// for, so that a stopped upload can still end while its reader reads no more. A closed
// output is skipped.
void writeAll(int fd, const QByteArray &bytes);
