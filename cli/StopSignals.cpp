#include "cli/StopSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace
{

int signalPipe[2] = {-1, -1};

void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    // The first signal is enough; the next one ends the program the default way.
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    (void)ignored;
    errno = savedErrno;
}

} // namespace

bool StopSignals::install()
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    return true;
}

int StopSignals::pipeReadFd()
{
    return signalPipe[0];
}

StopSignals::StopSignals(QObject *parent)
    : QObject(parent)
{
    if (signalPipe[0] < 0)
        return;
    m_notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &StopSignals::readPipe);
}

void StopSignals::readPipe()
{
    unsigned char byte = 0;
    if (::read(signalPipe[0], &byte, 1) != 1)
        return;
    // Only the first signal is ours. Its byte goes back so the pipe stays readable: a
    // write that blocks later, on the notice or the report, then knows not to wait.
    m_notifier->setEnabled(false);
    const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    (void)ignored;
    emit stopRequested(byte);
}
