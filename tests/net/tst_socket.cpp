#include "net/Socket.h"

#include "diag/Exception.h"
#include "net/NetErrors.h"
#include "support/ScriptedServer.h"
#include "support/Watchdog.h"

#include <QElapsedTimer>
#include <QTemporaryFile>
#include <QtTest>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <thread>

namespace
{

// A lookup that answers only once the test lets it. Shared with the lookup thread, which
// may outlive the socket that started it.
struct HeldLookup {
    std::mutex lock;
    std::condition_variable changed;
    bool released = false;
    bool returned = false;
    QList<QByteArray> names;

    std::function<std::optional<quint32>(const QByteArray &)> function(
        const std::shared_ptr<HeldLookup> &self)
    {
        return [self](const QByteArray &name) -> std::optional<quint32> {
            std::unique_lock guard(self->lock);
            self->names.append(name);
            self->changed.notify_all();
            self->changed.wait(guard, [&] { return self->released; });
            self->returned = true;
            self->changed.notify_all();
            return std::nullopt;
        };
    }
    bool waitFor(const std::function<bool()> &condition)
    {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(5), condition);
    }
};

QString dotted(quint32 ip)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(ip >> 24)
        .arg((ip >> 16) & 255)
        .arg((ip >> 8) & 255)
        .arg(ip & 255);
}

} // namespace

class TestSocket : public QObject
{
    Q_OBJECT

private slots:
    void lookupThroughTheSeam_data();
    void lookupThroughTheSeam();
    void abortEndsALookupThatNeverAnswers();
    void sendFileFailureSides_data();
    void sendFileFailureSides();
};

void TestSocket::lookupThroughTheSeam_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("answer"); // an address, "none" or "throw"
    QTest::addColumn<QString>("result"); // the address or the socket error number
    QTest::addColumn<QString>("lookedUp");

    QTest::newRow("name answered by the lookup") << "service.example"
                                                 << "10.1.2.3"
                                                 << "10.1.2.3"
                                                 << "service.example";
    QTest::newRow("name the lookup does not find") << "nowhere.example"
                                                   << "none"
                                                   << "11001"
                                                   << "nowhere.example";
    QTest::newRow("lookup that fails outright finds nothing") << "broken.example"
                                                              << "throw"
                                                              << "11001"
                                                              << "broken.example";
    QTest::newRow("internationalised name looked up in its ASCII form") << "пример.рф"
                                                                        << "10.9.8.7"
                                                                        << "10.9.8.7"
                                                                        << "xn--e1afmkfd.xn--p1ai";
    QTest::newRow("loopback name needs no lookup") << "LocalHost"
                                                   << "10.1.2.3"
                                                   << "127.0.0.1"
                                                   << "";
    QTest::newRow("dotted address needs no lookup") << "10.20.30.40"
                                                    << "none"
                                                    << "10.20.30.40"
                                                    << "";
    QTest::newRow("empty name is not looked up") << ""
                                                 << "10.1.2.3"
                                                 << "11001"
                                                 << "";
}

void TestSocket::lookupThroughTheSeam()
{
    QFETCH(QString, host);
    QFETCH(QString, answer);
    QFETCH(QString, result);
    QFETCH(QString, lookedUp);
    auto names = std::make_shared<QStringList>(); // outlives the lookup thread's use
    auto mutex = std::make_shared<std::mutex>();
    Socket socket;
    SocketSeams seams;
    seams.lookup = [names, mutex, answer](const QByteArray &name) -> std::optional<quint32> {
        {
            std::lock_guard guard(*mutex);
            names->append(QString::fromLatin1(name));
        }
        if (answer == "throw")
            throw std::runtime_error("resolver failure");
        if (answer == "none")
            return std::nullopt;
        const QStringList bytes = answer.split('.');
        return (bytes[0].toUInt() << 24) | (bytes[1].toUInt() << 16) | (bytes[2].toUInt() << 8)
            | bytes[3].toUInt();
    };
    socket.setSeams(seams);
    QString actual;
    try {
        actual = dotted(socket.resolve(host));
    } catch (const SocketError &e) {
        actual = QString::number(e.errorCode());
    }
    QCOMPARE(actual, result);
    std::lock_guard guard(*mutex);
    QCOMPARE(names->join(','), lookedUp);
}

void TestSocket::abortEndsALookupThatNeverAnswers()
{
    auto held = std::make_shared<HeldLookup>();
    auto socket = std::make_unique<Socket>();
    SocketSeams seams;
    seams.lookup = held->function(held);
    socket->setSeams(seams);

    QElapsedTimer sinceAbort;
    std::thread aborter([&] {
        held->waitFor([&] { return !held->names.isEmpty(); });
        sinceAbort.start();
        socket->abort();
    });
    QString outcome;
    {
        const Watchdog watchdog(20, "a lookup abandoned on abort");
        try {
            socket->resolve(QStringLiteral("service.example"));
            outcome = QStringLiteral("resolved");
        } catch (const SocketError &e) {
            outcome = e.message();
        }
        aborter.join();
    }
    QVERIFY2(sinceAbort.elapsed() < 5000, qPrintable(QString::number(sinceAbort.elapsed())));
    QCOMPARE(outcome, QStringLiteral("Socket Error # 10053\r\nSoftware caused connection abort."));

    // Final: the next resolve fails the same way without a second lookup.
    QVERIFY_THROWS_EXCEPTION(SocketError, socket->resolve(QStringLiteral("other.example")));
    {
        std::lock_guard guard(held->lock);
        QCOMPARE(held->names, QList<QByteArray>{"service.example"});
    }

    // The lookup answers after its socket is gone: it touches only what it shares.
    socket.reset();
    {
        std::lock_guard guard(held->lock);
        held->released = true;
    }
    held->changed.notify_all();
    QVERIFY(held->waitFor([&] { return held->returned; }));
    QTest::qWait(200); // time for the thread to hand its answer to nobody
}

void TestSocket::sendFileFailureSides_data()
{
    QTest::addColumn<int>("sendError");
    QTest::addColumn<int>("readError"); // 0: the file reads
    QTest::addColumn<QString>("outcome");

    const QString file = QStringLiteral("file:Cannot read file \"/data/Реестр.xlsx\". %1");
    QTest::newRow("read error of the file is the file's")
        << int(EIO) << 0 << file.arg("Input/output error");
    QTest::newRow("file that no longer reads where sending stopped")
        << int(EINVAL) << int(EIO) << file.arg("Input/output error");
    QTest::newRow("descriptor that cannot be read")
        << int(EBADF) << int(EBADF) << file.arg("Bad file descriptor");
    QTest::newRow("reset while the file reads is the socket's")
        << int(ECONNRESET) << 0 << "socket:10054";
    QTest::newRow("closed peer while the file reads is the socket's")
        << int(EPIPE) << 0 << "socket:10053";
}

void TestSocket::sendFileFailureSides()
{
    QFETCH(int, sendError);
    QFETCH(int, readError);
    QFETCH(QString, outcome);
    QTemporaryFile file;
    QVERIFY(file.open());
    QCOMPARE(file.write(QByteArray(100000, 'x')), 100000);
    QVERIFY(file.flush());
    ScriptedServer server;
    server.addScript({ScriptedServer::readHead(), ScriptedServer::holdOpen(20000)});

    Socket socket;
    SocketSeams seams;
    qint64 probedAt = -1;
    // The first call sends part of the stretch, the second fails.
    int calls = 0;
    seams.sendFile = [&](int, int, off_t *offset, size_t count) -> ssize_t {
        if (calls++ == 0) {
            *offset += off_t(count / 2);
            return ssize_t(count / 2);
        }
        errno = sendError;
        return -1;
    };
    seams.readFile = [&](int fd, void *buffer, size_t count, off_t offset) -> ssize_t {
        probedAt = offset;
        if (readError != 0) {
            errno = readError;
            return -1;
        }
        return ::pread(fd, buffer, count, offset);
    };
    socket.setSeams(seams);
    socket.connect(INADDR_LOOPBACK, server.port());
    QString actual;
    try {
        socket.sendFile(file.handle(), 1000, 50000, QStringLiteral("/data/Реестр.xlsx"));
        actual = QStringLiteral("sent");
    } catch (const SocketError &e) {
        actual = QStringLiteral("socket:%1").arg(e.errorCode());
    } catch (const FileReadError &e) {
        actual = QStringLiteral("file:") + e.message();
    }
    QCOMPARE(actual, outcome);
    if (sendError != EIO)
        QCOMPARE(probedAt, qint64(1000 + 25000)); // where sending stopped
}

QTEST_GUILESS_MAIN(TestSocket)
#include "tst_socket.moc"
