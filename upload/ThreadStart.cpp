#include "upload/ThreadStart.h"

#include <QThread>

#include <mutex>

namespace
{

std::mutex refusedMutex;
std::function<bool(const QThread &)> startRefused;

} // namespace

bool startThread(QThread &thread)
{
    {
        std::lock_guard lock(refusedMutex);
        if (startRefused && startRefused(thread))
            return false;
    }
    thread.start();
    return thread.isRunning() || thread.isFinished();
}

void setThreadStartRefusedForTesting(std::function<bool(const QThread &)> refused)
{
    std::lock_guard lock(refusedMutex);
    startRefused = std::move(refused);
}
