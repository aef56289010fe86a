// Ends the test process with a message when a scope runs past its time limit, so a test
// that would hang if a fix regressed fails in minutes instead of at the suite's timeout.
#pragma once

#include <QtGlobal>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class Watchdog
{
public:
    Watchdog(int seconds, const char *what)
        : m_thread([this, seconds, what] {
            std::unique_lock lock(m_mutex);
            if (!m_done.wait_for(
                    lock, std::chrono::seconds(seconds), [this] { return m_dismissed; }))
                qFatal("%s did not end within %d s", what, seconds);
        })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard lock(m_mutex);
            m_dismissed = true;
        }
        m_done.notify_all();
        m_thread.join();
    }
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_dismissed = false;
    std::thread m_thread; // last: started once the fields above exist
};
