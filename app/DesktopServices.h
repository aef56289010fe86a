// The desktop around a long upload: a logind sleep inhibitor held while a job runs, and a
// desktop notification when a run ends while the user looks elsewhere. Both go over
// D-Bus only when a bus is already there; nothing ever starts a bus or waits on one.
#pragma once

#include <QString>

#include <functional>
#include <memory>

// The bus calls, behind one seam so tests can stand in for logind and the notification
// service. Every call returns at once; replies come through the callbacks.
class DesktopBus
{
public:
    virtual ~DesktopBus() = default;
    // The system bus is usable only when its socket exists; the session bus only when
    // DBUS_SESSION_BUS_ADDRESS is set (otherwise the library could try to start one).
    virtual bool hasSystemBus() const = 0;
    virtual bool hasSessionBus() const = 0;
    // logind's Inhibit(what, who, why, mode): `done` gets the lock's descriptor, or -1.
    virtual void inhibit(const QString &what, const QString &who, const QString &why,
        const QString &mode, std::function<void(int fd)> done)
        = 0;
    virtual void notify(
        const QString &appName, const QString &icon, const QString &summary, const QString &body)
        = 0;
};

// The real bus through Qt D-Bus.
std::unique_ptr<DesktopBus> systemDesktopBus();

class DesktopServices
{
public:
    explicit DesktopServices(std::unique_ptr<DesktopBus> bus);
    ~DesktopServices(); // releases a lock still held

    // While a job runs the machine must not fall asleep; idempotent both ways. A lock
    // that arrives after its release was asked for is closed at once.
    void holdSleepLock();
    void releaseSleepLock();
    bool sleepLockHeld() const;

    // A notification with the run's outcome, in the completion box's own words.
    void notifyRunEnded(const QString &title, const QString &text);

private:
    struct State;
    std::unique_ptr<DesktopBus> m_bus;
    std::shared_ptr<State> m_state; // shared with replies still on their way
};
