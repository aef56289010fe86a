#include "net/FormPostClient.h"

#include "diag/Exception.h"
#include "support/ScriptedServer.h"
#include "support/Watchdog.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cerrno>
#include <future>
#include <optional>
#include <thread>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

using S = ScriptedServer;

// A loopback listener that accepts nothing, its backlog filled by connects of its own
// until one waits: a connect to it then waits for an answer that never comes.
struct FullListener {
    FullListener()
    {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        const auto at = reinterpret_cast<sockaddr *>(&address);
        fds.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ::bind(fds[0], at, length);
        ::listen(fds[0], 0);
        ::getsockname(fds[0], at, &length);
        for (int connected = 1; connected > 0 && fds.size() < 10;) {
            pollfd client{
                ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0), POLLOUT, 0};
            fds.push_back(client.fd);
            ::connect(client.fd, at, length);
            connected = ::poll(&client, 1, 300);
        }
        port = ntohs(address.sin_port);
    }
    ~FullListener()
    {
        for (int fd : fds)
            ::close(fd);
    }
    std::vector<int> fds;
    quint16 port = 0;
};

const QString TimedOut = QStringLiteral("Socket Error # 10060\r\nConnection timed out.");
const QByteArray Done = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\ndone";

} // namespace

Q_DECLARE_METATYPE(ScriptedServer::Script)

class TestTimeouts : public QObject
{
    Q_OBJECT

private slots:
    void postEndsByItself_data();
    void postEndsByItself();
    void connectionKeepsAlive();
};

void TestTimeouts::postEndsByItself_data()
{
    QTest::addColumn<int>("connectMs");
    QTest::addColumn<int>("idleMs");
    QTest::addColumn<QString>("stall"); // "backlog", "lookup", "slow file" or none
    QTest::addColumn<int>("fileKiB");   // 0: a form of one text field
    QTest::addColumn<ScriptedServer::Script>("script");
    QTest::addColumn<QString>("meanwhile"); // "reset" every 100 ms, "abort" at 200 ms
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<int>("atLeastMs");

    const S::Script hang{S::readRequest(), S::holdOpen(20000)};
    QTest::newRow("connect that stalls ends at the connect limit")
        << 500 << 0 << "backlog" << 0 << hang << "" << TimedOut << 450;
    QTest::newRow("lookup that never answers ends at the connect limit")
        << 500 << 0 << "lookup" << 0 << hang << "" << TimedOut << 450;
    QTest::newRow("abort ends a connect under a limit at once")
        << 60000 << 0 << "backlog" << 0 << hang << "abort"
        << "Socket Error # 10053\r\nSoftware caused connection abort." << 0;
    QTest::newRow("reply that never comes ends at the idle limit")
        << 0 << 400 << "" << 0 << hang << ""
        << "Read timed out." << 350;
    QTest::newRow("peer that stops reading the file ends at the idle limit")
        << 0 << 400 << "" << 65536 << S::Script{S::readHead(), S::pause(1500)} << ""
        << "Read timed out." << 350;
    // Each 32 KiB block: one call that moves nothing, one that sends it, 200 ms apart.
    QTest::newRow("file going out slowly outlasts the idle limit")
        << 0 << 1000 << "slow file" << 128 << S::reply(Done) << ""
        << "done" << 1600;
    QTest::newRow("progress polls keep a slow reply alive")
        << 0 << 400 << "" << 0 << S::Script{S::readRequest(), S::pause(1500), S::send(Done)}
        << "reset"
        << "done" << 1500;
    QTest::newRow("no idle limit waits for a late reply; the connect limit is over")
        << 300 << 0 << "" << 0 << S::Script{S::readRequest(), S::pause(700), S::send(Done)} << ""
        << "done" << 700;
}

void TestTimeouts::postEndsByItself()
{
    QFETCH(int, connectMs);
    QFETCH(int, idleMs);
    QFETCH(QString, stall);
    QFETCH(int, fileKiB);
    QFETCH(ScriptedServer::Script, script);
    QFETCH(QString, meanwhile);
    QFETCH(QString, outcome);
    QFETCH(int, atLeastMs);
    ScriptedServer server;
    server.addScript(script);
    std::optional<FullListener> full;
    QString url = server.url();
    if (stall == "backlog")
        url = QStringLiteral("http://127.0.0.1:%1/x").arg(full.emplace().port);
    FormPostClient client;
    client.setConnectTimeout(connectMs);
    client.setIdleTimeout(idleMs);
    SocketSeams seams;
    auto release = std::make_shared<std::promise<void>>();
    if (stall == "lookup") {
        url = QStringLiteral("http://service.example:%1/x").arg(server.port());
        seams.lookup = [held = release->get_future().share()](const QByteArray &) {
            held.wait();
            return std::optional<quint32>(INADDR_LOOPBACK);
        };
    }
    if (stall == "slow file") {
        seams.sendFile = [calls = 0](int socket, int file, off_t *offset, size_t count) mutable {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            errno = EAGAIN;
            return ++calls % 2 ? -1 : ::sendfile(socket, file, offset, count);
        };
    }
    client.setSocketSeams(seams);
    QTemporaryDir dir;
    MultipartForm form;
    if (fileKiB > 0) {
        QFile file(dir.filePath(QStringLiteral("document.pdf")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(qint64(fileKiB) * 1024));
        file.close();
        form.addFile(QStringLiteral("file"), file.fileName(), QStringLiteral("application/pdf"));
    } else {
        form.addTextField(QStringLiteral("b"), QStringLiteral("b"));
    }

    std::atomic<bool> posting{true};
    std::thread other([&] {
        for (int ms = 100; posting; ms += 100) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (meanwhile == "reset")
                client.resetIdleClock();
            if (meanwhile == "abort" && ms == 200)
                client.abort();
        }
    });
    QElapsedTimer timer;
    timer.start();
    QString actual;
    {
        const Watchdog watchdog(20, "a post under time limits");
        try {
            actual = client.post(url, form);
        } catch (const Exception &e) {
            actual = e.message();
        }
    }
    const qint64 elapsed = timer.elapsed();
    posting = false;
    other.join();
    release->set_value();
    QCOMPARE(actual, outcome);
    QVERIFY2(
        elapsed >= atLeastMs && elapsed < atLeastMs + 5000, qPrintable(QString::number(elapsed)));
}

void TestTimeouts::connectionKeepsAlive()
{
    ScriptedServer server;
    server.addScript({S::holdOpen(20000)});
    Socket socket;
    socket.connect(INADDR_LOOPBACK, server.port());
    QStringList values;
    const std::pair<int, int> options[] = {{SOL_SOCKET, SO_KEEPALIVE}, {IPPROTO_TCP, TCP_KEEPIDLE},
        {IPPROTO_TCP, TCP_KEEPINTVL}, {IPPROTO_TCP, TCP_KEEPCNT}};
    for (const auto &[level, name] : options) {
        int value = -1;
        socklen_t length = sizeof value;
        QCOMPARE(::getsockopt(socket.nativeHandle(), level, name, &value, &length), 0);
        values.append(QString::number(value));
    }
    QCOMPARE(values.join('/'), QStringLiteral("1/60/10/6"));
}

QTEST_GUILESS_MAIN(TestTimeouts)
#include "tst_timeouts.moc"
