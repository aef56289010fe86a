// SIGINT and SIGTERM as a Qt signal on the main thread: the handler only writes the
// signal's number into a pipe (all a handler may safely do), and a socket notifier on
// the pipe's other end reads it in the event loop. After the first, both signals take
// their default action again, so a second Ctrl+C ends a program that hangs. The pipe stays
// readable from the first signal on, so a write waiting for a full output can see it.
#pragma once

#include <QObject>

class QSocketNotifier;

class StopSignals : public QObject
{
    Q_OBJECT

public:
    // Installs the handlers; call before the run starts, so a Ctrl+C that comes before
    // the notifier exists is kept for it. False when the pipe can't be made.
    static bool install();
    // The pipe's read end, -1 before install; readable once a stop has come.
    static int pipeReadFd();

    explicit StopSignals(QObject *parent = nullptr);

signals:
    void stopRequested(int signalNumber);

private:
    void readPipe();

    QSocketNotifier *m_notifier = nullptr;
};
