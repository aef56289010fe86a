#include "net/Socket.h"

#include "diag/Exception.h"
#include "net/NetErrors.h"

#include <QUrl>

#include <algorithm>
#include <climits>
#include <memory>
#include <thread>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

Socket::Socket()
    : m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
}

Socket::~Socket()
{
    close();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

int Socket::windowsErrorCode(int posixError)
{
    switch (posixError) {
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: return 10024;
    case EAGAIN: return 10035;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED:
    case EPIPE: return 10053;
    case ECONNRESET: return 10054;
    case ENOBUFS: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    default: return 0;
    }
}

void Socket::raise(int posixError)
{
    if (isAborted())
        throw SocketError(ConnectionAborted);
    const int code = windowsErrorCode(posixError);
    // An errno outside the table keeps its own number, with an empty description.
    throw SocketError(code != 0 ? code : posixError);
}

void Socket::setSeams(SocketSeams seams)
{
    m_seams = std::move(seams);
}

namespace
{

// TCP keepalive: after a minute of silence, six probes ten seconds apart; a peer that
// vanished without a word (power cut, dropped route) then fails the post in two minutes.
constexpr int KeepAliveIdleS = 60;
constexpr int KeepAliveIntervalS = 10;
constexpr int KeepAliveProbes = 6;

qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        Socket::Clock::now().time_since_epoch())
        .count();
}

// A poll() time-out: -1 for no deadline, else the milliseconds left, rounded up so that
// a wait does not end just before the deadline.
int msUntil(const Socket::Deadline &deadline)
{
    if (!deadline)
        return -1;
    const auto left
        = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Socket::Clock::now()).count();
    return int(std::clamp<qint64>(left, 0, INT_MAX));
}

std::optional<quint32> literalIPv4(const QString &host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return INADDR_LOOPBACK;
    const QByteArray latin = host.toLatin1();
    in_addr address{};
    if (host == QString::fromLatin1(latin)
        && ::inet_pton(AF_INET, latin.constData(), &address) == 1)
        return ntohl(address.s_addr);
    return std::nullopt;
}

// The name to look up: an internationalised name in its ASCII form.
QByteArray lookupName(const QString &host)
{
    const QByteArray ascii = QUrl::toAce(host);
    if (ascii.isEmpty() || ascii.contains('\0'))
        throw SocketError(Socket::HostNotFound);
    return ascii;
}

std::optional<quint32> systemLookup(const QByteArray &name)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *results = nullptr;
    if (::getaddrinfo(name.constData(), nullptr, &hints, &results) != 0 || !results)
        return std::nullopt;
    const quint32 first = ntohl(reinterpret_cast<sockaddr_in *>(results->ai_addr)->sin_addr.s_addr);
    ::freeaddrinfo(results);
    return first;
}

using Lookup = std::function<std::optional<quint32>(const QByteArray &)>;

// A lookup that fails in any way has found nothing. (Returned, not assigned inside a
// try block: GCC 12 at -O1 and above drops the optional's initialisation there.)
std::optional<quint32> lookUp(const Lookup &lookup, const QByteArray &name) noexcept
{
    try {
        return lookup(name);
    } catch (...) {
        return std::nullopt;
    }
}

// What a lookup thread shares with the socket that started it. The thread holds its own
// reference, so it may finish long after the socket gave up on it and was destroyed.
struct PendingLookup {
    PendingLookup()
        : doneFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
    }
    ~PendingLookup()
    {
        if (doneFd >= 0)
            ::close(doneFd);
    }
    PendingLookup(const PendingLookup &) = delete;
    PendingLookup &operator=(const PendingLookup &) = delete;

    const int doneFd; // readable once `address` is set
    std::mutex lock;
    std::optional<quint32> address;
};

} // namespace

quint32 Socket::resolveIPv4(const QString &host)
{
    if (const std::optional<quint32> literal = literalIPv4(host))
        return *literal;
    if (const std::optional<quint32> found = systemLookup(lookupName(host)))
        return *found;
    throw SocketError(HostNotFound);
}

quint32 Socket::resolve(const QString &host, Deadline deadline)
{
    if (isAborted())
        throw SocketError(ConnectionAborted);
    if (const std::optional<quint32> literal = literalIPv4(host))
        return *literal;
    const QByteArray name = lookupName(host);
    const Lookup lookup = m_seams.lookup ? m_seams.lookup : Lookup(systemLookup);
    auto pending = std::make_shared<PendingLookup>();
    bool started = false;
    if (pending->doneFd >= 0) {
        try {
            std::thread([pending, lookup, name] {
                const std::optional<quint32> address = lookUp(lookup, name);
                {
                    std::lock_guard guard(pending->lock);
                    pending->address = address;
                }
                const quint64 one = 1;
                (void)!::write(pending->doneFd, &one, sizeof one);
            }).detach();
            started = true;
        } catch (const std::system_error &) {
            // No thread to be had: look the name up here, as the static form does.
        }
    }
    std::optional<quint32> address;
    if (started) {
        if (!waitFor(pending->doneFd, POLLIN, msUntil(deadline)))
            throw SocketError(TimedOut);
        std::lock_guard guard(pending->lock);
        address = pending->address;
    } else {
        address = lookUp(lookup, name);
    }
    if (!address)
        throw SocketError(HostNotFound);
    return *address;
}

bool Socket::wait(Direction direction, int timeoutMs)
{
    return waitFor(m_fd, short(direction == Direction::Read ? POLLIN : POLLOUT), timeoutMs);
}

bool Socket::waitFor(int fd, short events, int timeoutMs)
{
    const Deadline deadline = timeoutMs >= 0
        ? Deadline(Clock::now() + std::chrono::milliseconds(timeoutMs))
        : std::nullopt;
    pollfd fds[2] = {
        {fd, events, 0},
        {m_wakeFd, POLLIN, 0},
    };
    while (true) {
        const int ready = ::poll(fds, 2, msUntil(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            raise(errno);
        if (fds[1].revents != 0 || isAborted())
            throw SocketError(ConnectionAborted);
        return ready > 0;
    }
}

void Socket::waitForProgress(Direction direction)
{
    // The limit is re-read on every turn: resetIdleClock() may have moved it on.
    while (true) {
        int timeoutMs = -1;
        if (m_idleTimeoutMs > 0) {
            const qint64 left
                = m_lastProgressMs.load(std::memory_order_relaxed) + m_idleTimeoutMs - steadyMs();
            if (left <= 0)
                throw TransportError(QStringLiteral("Read timed out."));
            timeoutMs = int(qMin<qint64>(left, INT_MAX));
        }
        if (wait(direction, timeoutMs))
            return;
    }
}

void Socket::noteProgress()
{
    if (m_idleTimeoutMs > 0)
        resetIdleClock();
}

void Socket::resetIdleClock()
{
    m_lastProgressMs.store(steadyMs(), std::memory_order_relaxed);
}

void Socket::setIdleTimeout(int ms)
{
    m_idleTimeoutMs = qMax(ms, 0);
    if (m_fd >= 0)
        applyIdleTimeout();
}

void Socket::applyIdleTimeout()
{
    // The connection stays blocking (one system call a block at full speed); a call that
    // moves nothing for a quarter of the limit returns EAGAIN, and the rest of the limit
    // is waited for in poll(), beside the abort signal. A quarter, not the whole limit:
    // bytes a call moves count only once it returns.
    const int slice = m_idleTimeoutMs > 0 ? qMax(m_idleTimeoutMs / 4, 1) : 0;
    const timeval limit{slice / 1000, (slice % 1000) * 1000};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

void Socket::connect(quint32 address, quint16 port, Deadline deadline)
{
    close();
    {
        std::lock_guard guard(m_lock);
        if (m_aborted)
            throw SocketError(ConnectionAborted);
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (m_fd < 0) {
            const int error = errno;
            m_fd = -1;
            throw SocketError(windowsErrorCode(error) ? windowsErrorCode(error) : error);
        }
    }
    const int one = 1;
    // The head and the body blocks are pushed out as written (see holdSegments).
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(m_fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_KEEPIDLE, &KeepAliveIdleS, sizeof KeepAliveIdleS);
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_KEEPINTVL, &KeepAliveIntervalS, sizeof KeepAliveIntervalS);
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_KEEPCNT, &KeepAliveProbes, sizeof KeepAliveProbes);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(address);
    // The connect waits in poll() beside the abort signal: a shutdown() does not stop a
    // connect that has not started yet.
    if (::connect(m_fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer) != 0) {
        if (errno != EINPROGRESS)
            raise(errno);
        if (!wait(Direction::Write, msUntil(deadline)))
            throw SocketError(TimedOut);
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            raise(errno);
        if (error != 0)
            raise(error);
    }
    // Connected: from here on abort() shuts the socket down, which ends a blocked send or
    // recv at once; an abort that came earlier is caught by this check. Blocking calls
    // keep the loopback transfer at the speed of the link (no poll per block).
    if (isAborted())
        throw SocketError(ConnectionAborted);
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) & ~O_NONBLOCK);
    applyIdleTimeout();
    resetIdleClock();
}

void Socket::sendAll(const char *data, qint64 size)
{
    while (size > 0) {
        const qint64 sent = sendSome(data, size);
        data += sent;
        size -= sent;
    }
}

qint64 Socket::sendSome(const char *data, qint64 size, bool wait)
{
    while (true) {
        const ssize_t sent
            = ::send(m_fd, data, size_t(size), MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
        if (sent >= 0) {
            noteProgress();
            return sent;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!wait)
                return 0;
            waitForProgress(Direction::Write);
            continue;
        }
        if (errno == EINTR)
            continue;
        raise(errno);
    }
}

namespace
{

// sendfile() has no MSG_NOSIGNAL: SIGPIPE is held back in this thread while it runs, and
// one raised by a closed peer is taken off again, so only EPIPE remains.
class SigPipeHeld
{
public:
    SigPipeHeld()
    {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_previous);
        sigset_t pending;
        sigpending(&pending);
        m_alreadyPending = sigismember(&pending, SIGPIPE);
    }
    ~SigPipeHeld()
    {
        if (!m_alreadyPending) {
            const timespec zero{0, 0};
            while (sigtimedwait(&m_pipe, nullptr, &zero) > 0) { }
        }
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }
    SigPipeHeld(const SigPipeHeld &) = delete;
    SigPipeHeld &operator=(const SigPipeHeld &) = delete;

private:
    sigset_t m_pipe;
    sigset_t m_previous;
    bool m_alreadyPending = false;
};

} // namespace

void Socket::sendFile(int fd, qint64 offset, qint64 length, const QString &fileName)
{
    const SigPipeHeld held;
    off_t position = off_t(offset);
    while (length > 0) {
        const ssize_t sent = m_seams.sendFile
            ? m_seams.sendFile(m_fd, fd, &position, size_t(length))
            : ::sendfile(m_fd, fd, &position, size_t(length));
        if (sent < 0) {
            const int error = errno;
            if (error == EINTR)
                continue;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                waitForProgress(Direction::Write);
                continue;
            }
            if (isAborted())
                throw SocketError(ConnectionAborted);
            // A file system that cannot feed sendfile(): the rest goes through a buffer.
            if (error == EINVAL || error == ENOSYS)
                return readFile(fd, position, length, fileName,
                    [this](const char *bytes, qint64 size) { sendAll(bytes, size); });
            raiseSendFileError(error, fd, position, fileName);
        }
        if (sent == 0)
            throw Exception(QStringLiteral("No data to read."));
        noteProgress();
        length -= sent;
    }
}

void Socket::readFile(int fd, qint64 offset, qint64 length, const QString &fileName,
    const std::function<void(const char *, qint64)> &sink)
{
    QByteArray buffer(int(qMin<qint64>(length, CopyBlockSize)), Qt::Uninitialized);
    off_t position = off_t(offset);
    while (length > 0) {
        const size_t wanted = size_t(qMin<qint64>(length, buffer.size()));
        const ssize_t got = m_seams.readFile ? m_seams.readFile(fd, buffer.data(), wanted, position)
                                             : ::pread(fd, buffer.data(), wanted, position);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw FileReadError(fileName, errno);
        }
        if (got == 0)
            throw Exception(QStringLiteral("No data to read."));
        sink(buffer.constData(), got);
        position += got;
        length -= got;
    }
}

void Socket::shutdownWrite()
{
    std::lock_guard guard(m_lock);
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_WR); // a connection already reset has nothing to end
}

void Socket::raiseSendFileError(int error, int fd, off_t position, const QString &fileName)
{
    // sendfile() reports both ends with one errno. EIO comes only from reading the file;
    // for any other number, reading one byte where it stopped tells the two apart: when
    // the file still reads, the socket failed.
    if (error == EIO)
        throw FileReadError(fileName, error);
    char probe = 0;
    ssize_t got = 0;
    do {
        got = m_seams.readFile ? m_seams.readFile(fd, &probe, 1, position)
                               : ::pread(fd, &probe, 1, position);
    } while (got < 0 && errno == EINTR);
    if (got < 0)
        throw FileReadError(fileName, errno);
    raise(error);
}

qint64 Socket::receive(char *buffer, qint64 capacity)
{
    while (true) {
        const ssize_t received = ::recv(m_fd, buffer, size_t(capacity), 0);
        if (received > 0)
            noteProgress();
        if (received >= 0) {
            // An abort shuts nothing down on its own, but a close seen after one must
            // not pass for the end of a close-delimited body.
            if (received == 0 && isAborted())
                throw SocketError(ConnectionAborted);
            return received;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            waitForProgress(Direction::Read);
            continue;
        }
        if (errno == EINTR)
            continue;
        raise(errno);
    }
}

bool Socket::waitReadable(int timeoutMs)
{
    return wait(Direction::Read, timeoutMs);
}

void Socket::holdSegments(bool hold)
{
    const int value = hold ? 1 : 0;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_CORK, &value, sizeof value);
}

void Socket::close()
{
    std::lock_guard guard(m_lock);
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

void Socket::abort()
{
    std::lock_guard guard(m_lock);
    m_aborted = true;
    const quint64 one = 1;
    if (m_wakeFd >= 0)
        (void)!::write(m_wakeFd, &one, sizeof one);
    // Also tell the peer at once; the owner still closes the descriptor.
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_RDWR);
}

bool Socket::isAborted() const
{
    std::lock_guard guard(m_lock);
    return m_aborted;
}
