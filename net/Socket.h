// A blocking TCP/IPv4 client socket over BSD sockets, with failures raised as Windows
// Sockets error numbers (SocketError) so that a Winsock twin of this class is a drop-in.
// Every wait can be cut short from another thread by abort().
#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <sys/types.h>

// The system calls at the socket's edges, replaceable so that a test can make a lookup
// hang or a file fail while it is sent. An empty member means the system's own call.
struct SocketSeams {
    // The first IPv4 address (host byte order) of an ASCII host name; nullopt when the
    // name is not found. Runs on a helper thread that may outlive the socket.
    std::function<std::optional<quint32>(const QByteArray &name)> lookup;
    // sendfile(2) and pread(2), with their return values and errno. pread also reads
    // the file where sendfile() cannot (EINVAL, ENOSYS).
    std::function<ssize_t(int socketFd, int fileFd, off_t *offset, size_t count)> sendFile;
    std::function<ssize_t(int fileFd, void *buffer, size_t count, off_t offset)> readFile;
};

class Socket
{
public:
    static constexpr int HostNotFound = 11001;
    static constexpr int ConnectionAborted = 10053;
    static constexpr int AddressNotAvailable = 10049;
    static constexpr int TimedOut = 10060;
    // The buffer of a file sent through user space, where sendfile() cannot read it.
    static constexpr qint64 CopyBlockSize = 64 * 1024;

    using Clock = std::chrono::steady_clock;
    // When a connection attempt gives up (socket error 10060); nullopt: never.
    using Deadline = std::optional<Clock::time_point>;

    Socket();
    ~Socket();
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    void setSeams(SocketSeams seams);

    // An IPv4 address in host byte order: "localhost" (any case) without a lookup, a
    // dotted address as it stands, else the first address of a lookup (IDN names in
    // their ASCII form). Throws SocketError(11001). Waits for the system's resolver.
    static quint32 resolveIPv4(const QString &host);
    // The same, but the lookup runs on a helper thread and abort() ends the wait at once
    // (SocketError 10053): a resolver cannot be interrupted, only abandoned. So is a
    // lookup still running at `deadline` (SocketError 10060).
    quint32 resolve(const QString &host, Deadline deadline = std::nullopt);
    // The Windows Sockets number for an errno value (0 when there is none).
    static int windowsErrorCode(int posixError);

    // Opens a connection with TCP keepalive on, so that a peer that vanished is noticed;
    // gives up at `deadline` (SocketError 10060).
    void connect(quint32 address, quint16 port, Deadline deadline = std::nullopt);
    // A send or receive that finds no byte moving for `ms` (0: no limit) fails with
    // TransportError("Read timed out.").
    void setIdleTimeout(int ms);
    // Thread-safe: counts as activity, so the idle limit starts again from now.
    void resetIdleClock();
    void sendAll(const char *data, qint64 size);
    // One send of up to `size` bytes: waits as sendAll does until some go out and returns
    // how many did; with `wait` false returns 0 at once when none can go out now.
    qint64 sendSome(const char *data, qint64 size, bool wait = true);
    // Sends `length` bytes of the file `fd` from `offset` without copying them through
    // user space; throws Exception("No data to read.") when the file ends early, and
    // FileReadError naming `fileName` when the file cannot be read (a SocketError is the
    // socket's failure only).
    void sendFile(int fd, qint64 offset, qint64 length, const QString &fileName);
    // Reads `length` bytes of the file `fd` from `offset` with pread (the seam's) in blocks
    // of CopyBlockSize and hands each to `sink`, for a body that cannot go by sendfile();
    // throws as sendFile does when the file ends early or cannot be read.
    void readFile(int fd, qint64 offset, qint64 length, const QString &fileName,
        const std::function<void(const char *, qint64)> &sink);
    // Ends the sending side: a peer still reading a request body that stopped short
    // sees its end, and answers or closes, rather than waiting for the rest.
    void shutdownWrite();
    // Up to `capacity` bytes; 0 when the peer has closed the connection.
    qint64 receive(char *buffer, qint64 capacity);
    // True when bytes (or the peer's close) arrive within `timeoutMs`.
    bool waitReadable(int timeoutMs);
    // While held, partial segments wait so that the head and the body blocks go out in
    // full-sized segments; releasing it sends what is left at once.
    void holdSegments(bool hold);
    bool isOpen() const { return m_fd >= 0; }
    // The descriptor of the open connection (-1 when closed), for inspection only.
    int nativeHandle() const { return m_fd; }
    void close();

    // Thread-safe and final: a blocked or later resolve, connect, send or receive fails
    // with socket error 10053.
    void abort();
    bool isAborted() const;

private:
    enum class Direction { Read, Write };
    // False when the time ran out; throws when aborted.
    bool wait(Direction direction, int timeoutMs);
    bool waitFor(int fd, short events, int timeoutMs);
    // Waits until `direction` is ready, within the idle limit.
    void waitForProgress(Direction direction);
    void noteProgress();
    void applyIdleTimeout();
    [[noreturn]] void raise(int posixError);
    [[noreturn]] void raiseSendFileError(
        int error, int fd, off_t position, const QString &fileName);

    int m_fd = -1;     // closed only by the owning thread, under m_lock
    int m_wakeFd = -1; // an eventfd that becomes readable, for good, on abort()
    mutable std::mutex m_lock;
    bool m_aborted = false;
    SocketSeams m_seams;
    int m_idleTimeoutMs = 0;
    std::atomic<qint64> m_lastProgressMs{0}; // on the steady clock
};
