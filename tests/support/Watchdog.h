// Ends the test process with a message when a scope runs past its time limit, so a test
// that would hang if a fix regressed fails in minutes instead of at the suite's timeout.
#pragma once

#include <QtGlobal>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class ProcessWatchdog
{
public:
    ProcessWatchdog(std::chrono::seconds limit, const char *what)
        : m_thread([this, limit, what] {
            std::unique_lock lock(m_mutex);
            if (!m_done.wait_for(lock, limit, [this] { return m_dismissed; }))
                qFatal("time limit passed: %s", what);
        })
    {
    }
    ~ProcessWatchdog()
    {
        {
            std::lock_guard lock(m_mutex);
            m_dismissed = true;
        }
        m_done.notify_all();
        m_thread.join();
    }
    ProcessWatchdog(const ProcessWatchdog &) = delete;
    ProcessWatchdog &operator=(const ProcessWatchdog &) = delete;

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_dismissed = false;
    std::thread m_thread; // last: started once the fields above exist
};
