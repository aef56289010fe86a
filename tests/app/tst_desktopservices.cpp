#include "app/DesktopServices.h"

#include <QTest>

#include <fcntl.h>
#include <unistd.h>

namespace
{

// Stands in for logind and the notification service: records every call and answers an
// Inhibit only when the test says so.
struct FakeBus : DesktopBus {
    bool system = true;
    bool session = true;
    QStringList calls;
    std::function<void(int)> pendingInhibit;

    bool hasSystemBus() const override { return system; }
    bool hasSessionBus() const override { return session; }
    void inhibit(const QString &what, const QString &who, const QString &, const QString &mode,
        std::function<void(int)> done) override
    {
        calls << QStringList{"Inhibit", what, who, mode}.join(' ');
        pendingInhibit = std::move(done);
    }
    void notify(const QString &appName, const QString &icon, const QString &summary,
        const QString &body) override
    {
        calls << QStringList{"Notify", appName, icon, summary, body}.join('|');
    }
};

int openLock()
{
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

bool isOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

} // namespace

class TestDesktopServices : public QObject
{
    Q_OBJECT

private slots:
    void sleepLockHeldWhileAJobRunsAndReleasedAfter()
    {
        auto bus = std::make_unique<FakeBus>();
        FakeBus &fake = *bus;
        DesktopServices services(std::move(bus));
        services.holdSleepLock();
        services.holdSleepLock(); // a second request while one is on its way asks nothing
        QCOMPARE(fake.calls, QStringList{"Inhibit sleep unmz-uploader block"});
        const int fd = openLock();
        fake.pendingInhibit(fd);
        QVERIFY(services.sleepLockHeld());
        services.releaseSleepLock();
        QVERIFY(!services.sleepLockHeld());
        QVERIFY(!isOpen(fd)); // closing the descriptor is what lets the machine sleep
    }

    void lockArrivingAfterTheJobEndedIsDropped()
    {
        auto bus = std::make_unique<FakeBus>();
        FakeBus &fake = *bus;
        DesktopServices services(std::move(bus));
        services.holdSleepLock();
        services.releaseSleepLock();
        const int fd = openLock();
        fake.pendingInhibit(fd);
        QVERIFY(!services.sleepLockHeld());
        QVERIFY(!isOpen(fd));
    }

    void lockArrivingAfterExitIsDropped()
    {
        std::function<void(int)> late;
        {
            auto bus = std::make_unique<FakeBus>();
            FakeBus &fake = *bus;
            DesktopServices services(std::move(bus));
            services.holdSleepLock();
            late = fake.pendingInhibit;
        }
        const int fd = openLock();
        late(fd);
        QVERIFY(!isOpen(fd));
    }

    void withoutABusNothingIsAsked()
    {
        auto bus = std::make_unique<FakeBus>();
        FakeBus &fake = *bus;
        fake.system = false;
        fake.session = false;
        DesktopServices services(std::move(bus));
        services.holdSleepLock();
        services.notifyRunEnded("Ошибка!", "text");
        QVERIFY(fake.calls.isEmpty());
        QVERIFY(!services.sleepLockHeld());
    }

    void notificationCarriesTheBoxWords()
    {
        auto bus = std::make_unique<FakeBus>();
        FakeBus &fake = *bus;
        DesktopServices services(std::move(bus));
        services.notifyRunEnded("Загрузка завершена", "Процедура загрузки реестра завершена.");
        QCOMPARE(fake.calls,
            QStringList{"Notify|unmz-uploader|ru.unmz.Uploader|Загрузка "
                        "завершена|Процедура загрузки реестра завершена."});
    }

    void realBusNeverStartsOne()
    {
        // Without a session bus address the real bus reports none, so no autolaunch runs.
        const QByteArray saved = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        QVERIFY(!systemDesktopBus()->hasSessionBus());
        if (!saved.isEmpty())
            qputenv("DBUS_SESSION_BUS_ADDRESS", saved);
    }
};

QTEST_GUILESS_MAIN(TestDesktopServices)
#include "tst_desktopservices.moc"
