#include "ScriptedServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace
{

qint64 contentLength(const QByteArray &head)
{
    for (const QByteArray &line : head.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0
            && line.left(colon).trimmed().compare("Content-Length", Qt::CaseInsensitive) == 0)
            return line.mid(colon + 1).trimmed().toLongLong();
    }
    return 0;
}

} // namespace

ScriptedServer::Script ScriptedServer::reply(const QByteArray &reply)
{
    return {readRequest(), send(reply), close()};
}

ScriptedServer::ScriptedServer()
{
    m_stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::listen(m_listenFd, 16);
    socklen_t length = sizeof address;
    ::getsockname(m_listenFd, reinterpret_cast<sockaddr *>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_acceptThread = std::thread([this] { acceptLoop(); });
}

ScriptedServer::~ScriptedServer()
{
    const quint64 one = 1;
    (void)!::write(m_stopFd, &one, sizeof one);
    m_acceptThread.join();
    for (std::thread &thread : m_threads)
        thread.join();
    for (auto &connection : m_connections)
        if (connection->fd >= 0)
            ::close(connection->fd);
    ::close(m_listenFd);
    ::close(m_stopFd);
}

void ScriptedServer::addScript(const Script &script)
{
    std::lock_guard guard(m_lock);
    m_scripts.append(script);
}

QString ScriptedServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path);
}

int ScriptedServer::connectionCount() const
{
    std::lock_guard guard(m_lock);
    return int(m_connections.size());
}

QByteArray ScriptedServer::request(int connection) const
{
    std::lock_guard guard(m_lock);
    return connection < int(m_connections.size()) ? m_connections[connection]->received
                                                  : QByteArray();
}

QList<QByteArray> ScriptedServer::requests() const
{
    std::lock_guard guard(m_lock);
    QList<QByteArray> all;
    for (const auto &connection : m_connections)
        all.append(connection->received);
    return all;
}

bool ScriptedServer::waitClientClosed(int connection, int ms) const
{
    std::unique_lock guard(m_lock);
    return m_changed.wait_for(guard, std::chrono::milliseconds(ms), [&] {
        return connection < int(m_connections.size()) && m_connections[connection]->clientClosed;
    });
}

void ScriptedServer::acceptLoop()
{
    while (true) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 || fds[1].revents)
            return;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard guard(m_lock);
        const int index = int(m_connections.size());
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        m_connections.push_back(std::move(connection));
        const Script script = m_scripts.isEmpty()
            ? reply("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nsuccess")
            : m_scripts.value(index, m_scripts.last());
        m_threads.emplace_back([this, index, script] { runScript(index, script); });
        m_changed.notify_all();
    }
}

// Reads what the client sends within `timeoutMs` (-1: until data); false on its close,
// on an error or when the server stops.
bool ScriptedServer::readMore(int index, int timeoutMs)
{
    int fd;
    {
        std::lock_guard guard(m_lock);
        fd = m_connections[index]->fd;
    }
    pollfd fds[2] = {{fd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) <= 0 || fds[1].revents)
        return false;
    char buffer[65536];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    std::lock_guard guard(m_lock);
    if (got <= 0) {
        m_connections[index]->clientClosed = true;
        m_changed.notify_all();
        return false;
    }
    m_connections[index]->received.append(buffer, got);
    return true;
}

void ScriptedServer::runScript(int index, Script script)
{
    int fd;
    {
        std::lock_guard guard(m_lock);
        fd = m_connections[index]->fd;
    }
    auto received = [&] {
        std::lock_guard guard(m_lock);
        return m_connections[index]->received;
    };
    auto closeFd = [&] {
        std::lock_guard guard(m_lock);
        ::close(fd);
        m_connections[index]->fd = -1;
    };
    for (const Step &step : script) {
        switch (step.kind) {
        case Step::ReadRequest:
        case Step::ReadHead:
            while (true) {
                const QByteArray bytes = received();
                const qsizetype headEnd = bytes.indexOf("\r\n\r\n");
                if (headEnd >= 0
                    && (step.kind == Step::ReadHead
                        || bytes.size() >= headEnd + 4 + contentLength(bytes.left(headEnd))))
                    break;
                if (!readMore(index, -1))
                    break;
            }
            break;
        case Step::Send: ::send(fd, step.bytes.constData(), step.bytes.size(), MSG_NOSIGNAL); break;
        case Step::Drip:
            for (char byte : step.bytes) {
                if (::send(fd, &byte, 1, MSG_NOSIGNAL) != 1)
                    break;
                ::usleep(200);
            }
            break;
        case Step::Pause: ::usleep(useconds_t(step.ms) * 1000); break;
        case Step::Close: closeFd(); return;
        case Step::Reset: {
            const linger hard{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            closeFd();
            return;
        }
        case Step::HoldOpen: {
            const auto until
                = std::chrono::steady_clock::now() + std::chrono::milliseconds(step.ms);
            while (std::chrono::steady_clock::now() < until) {
                const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                    until - std::chrono::steady_clock::now())
                                         .count());
                if (!readMore(index, qMax(left, 1))) {
                    pollfd stop{m_stopFd, POLLIN, 0};
                    std::lock_guard guard(m_lock);
                    if (m_connections[index]->clientClosed || ::poll(&stop, 1, 0) > 0)
                        break;
                }
            }
            break;
        }
        }
    }
    closeFd();
}
