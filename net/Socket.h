// A blocking TCP/IPv4 client socket over BSD sockets, with failures raised as Windows
// Sockets error numbers (SocketError) so that a Winsock twin of this class is a drop-in.
// Every wait can be cut short from another thread by abort().
#pragma once

#include <QString>

#include <mutex>

class Socket
{
public:
    static constexpr int HostNotFound = 11001;
    static constexpr int ConnectionAborted = 10053;

    Socket();
    ~Socket();
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    // An IPv4 address in host byte order: "localhost" (any case) without a lookup, a
    // dotted address as it stands, else the first address of a lookup (IDN names in
    // their ASCII form). Throws SocketError(11001).
    static quint32 resolveIPv4(const QString &host);
    // The Windows Sockets number for an errno value (0 when there is none).
    static int windowsErrorCode(int posixError);

    // Opens a connection; waits with no time limit of its own.
    void connect(quint32 address, quint16 port);
    void sendAll(const char *data, qint64 size);
    // Sends `length` bytes of the file `fd` from `offset` without copying them through
    // user space; throws Exception("No data to read.") when the file ends early.
    void sendFile(int fd, qint64 offset, qint64 length);
    // Up to `capacity` bytes; 0 when the peer has closed the connection.
    qint64 receive(char *buffer, qint64 capacity);
    // True when bytes (or the peer's close) arrive within `timeoutMs`.
    bool waitReadable(int timeoutMs);
    // While held, partial segments wait so that the head and the body blocks go out in
    // full-sized segments; releasing it sends what is left at once.
    void holdSegments(bool hold);
    bool isOpen() const { return m_fd >= 0; }
    void close();

    // Thread-safe and final: a blocked or later connect, send or receive fails with
    // socket error 10053.
    void abort();
    bool isAborted() const;

private:
    enum class Direction { Read, Write };
    // False when the time ran out; throws when aborted.
    bool wait(Direction direction, int timeoutMs);
    [[noreturn]] void raise(int posixError);

    int m_fd = -1;     // closed only by the owning thread, under m_lock
    int m_wakeFd = -1; // an eventfd that becomes readable, for good, on abort()
    mutable std::mutex m_lock;
    bool m_aborted = false;
};
