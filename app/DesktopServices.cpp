#include "app/DesktopServices.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QFileInfo>
#include <QVariantMap>

#include "diag/Version.h"

#include <fcntl.h>
#include <unistd.h>

namespace
{

const QString systemBusSocket = QStringLiteral("/run/dbus/system_bus_socket");

class QtDesktopBus : public DesktopBus
{
public:
    bool hasSystemBus() const override
    {
        return !qEnvironmentVariableIsEmpty("DBUS_SYSTEM_BUS_ADDRESS")
            || QFileInfo::exists(systemBusSocket);
    }
    bool hasSessionBus() const override
    {
        return !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS");
    }

    void inhibit(const QString &what, const QString &who, const QString &why, const QString &mode,
        std::function<void(int)> done) override
    {
        QDBusConnection bus = QDBusConnection::systemBus();
        if (!bus.isConnected())
            return done(-1);
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.login1"),
            QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
        call << what << who << why << mode;
        auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call));
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished,
            [done = std::move(done)](QDBusPendingCallWatcher *finished) {
                const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *finished;
                finished->deleteLater();
                // The reply's descriptor closes with it: keep a duplicate of our own, closed
                // on exec so that no program started later holds the machine awake.
                done(reply.isValid() && reply.value().isValid()
                        ? ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0)
                        : -1);
            });
    }

    void notify(const QString &appName, const QString &icon, const QString &summary,
        const QString &body) override
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected())
            return;
        QDBusMessage call
            = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                QStringLiteral("/org/freedesktop/Notifications"),
                QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
        call << appName << 0u << icon << summary << body << QStringList() << QVariantMap() << -1;
        bus.asyncCall(call); // fire and forget: a missing service costs nothing
    }
};

} // namespace

std::unique_ptr<DesktopBus> systemDesktopBus()
{
    return std::make_unique<QtDesktopBus>();
}

struct DesktopServices::State {
    bool wanted = false;  // a job runs
    bool pending = false; // an Inhibit call is on its way
    int lockFd = -1;
};

DesktopServices::DesktopServices(std::unique_ptr<DesktopBus> bus)
    : m_bus(std::move(bus))
    , m_state(std::make_shared<State>())
{
}

DesktopServices::~DesktopServices()
{
    releaseSleepLock();
}

void DesktopServices::holdSleepLock()
{
    m_state->wanted = true;
    if (m_state->lockFd >= 0 || m_state->pending || !m_bus || !m_bus->hasSystemBus())
        return;
    m_state->pending = true;
    std::weak_ptr<State> weak = m_state;
    m_bus->inhibit(QStringLiteral("sleep"), QStringLiteral("unmz-uploader"),
        QStringLiteral("Идёт загрузка реестра на сервер"), QStringLiteral("block"), [weak](int fd) {
            const std::shared_ptr<State> state = weak.lock();
            if (!state || !state->wanted) {
                if (fd >= 0)
                    ::close(fd); // the job ended (or the program went) meanwhile
                if (state)
                    state->pending = false;
                return;
            }
            state->pending = false;
            state->lockFd = fd;
        });
}

void DesktopServices::releaseSleepLock()
{
    m_state->wanted = false;
    if (m_state->lockFd >= 0) {
        ::close(m_state->lockFd);
        m_state->lockFd = -1;
    }
}

bool DesktopServices::sleepLockHeld() const
{
    return m_state->lockFd >= 0;
}

void DesktopServices::notifyRunEnded(const QString &title, const QString &text)
{
    if (m_bus && m_bus->hasSessionBus())
        m_bus->notify(
            QStringLiteral("unmz-uploader"), QString::fromLatin1(desktopAppId), title, text);
}
