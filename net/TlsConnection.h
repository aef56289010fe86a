// https for the form-post client: OpenSSL over the client's own Socket, so that the
// socket's waits, time limits, error numbers and abort() hold inside a handshake, a send
// and a reply wait alike. TLS 1.2 at least; the chain checked against the system's trust
// store and the host name (or address) against the certificate.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

class Socket;

struct TlsOptions {
    QString caFile; // PEM certificates trusted besides the system's
    // 32 raw bytes of the leaf's DER SHA-256: that certificate is accepted whatever its
    // name and dates.
    QByteArray pinnedSha256;
    // The same effect: certificates the user trusted for this session.
    QList<QByteArray> trustedSha256;
};

// What every connection of a client shares: the trust store and the versions. Loading
// the system's store costs more than a handshake, so it is built once per TlsOptions.
class TlsContext;
// Throws TlsError (Kind::Other) naming `host` when the CA file cannot be loaded.
std::shared_ptr<TlsContext> newTlsContext(const TlsOptions &options, const QString &host);

class TlsConnectionPrivate;

// One TLS session over a connected socket, used by the socket's owning thread only; an
// abort() of the socket ends any of its waits with socket error 10053.
class TlsConnection
{
public:
    TlsConnection(std::shared_ptr<TlsContext> context, Socket &socket);
    ~TlsConnection(); // does not close the socket
    TlsConnection(const TlsConnection &) = delete;
    TlsConnection &operator=(const TlsConnection &) = delete;

    // Handshake and verification for `host` (as in the URL). Throws TlsError when the
    // handshake fails or the certificate is not accepted; a failure of the socket itself
    // (SocketError, "Read timed out.") as the socket raised it.
    void handshake(const QString &host);
    // All of `size` bytes, or throws as handshake() does (TransportError for TLS).
    void write(const char *data, qint64 size);
    // Up to `capacity` bytes; 0 at the end of the stream, with close_notify or without.
    qint64 read(char *buffer, qint64 capacity);
    // The latest read() returned 0 because the peer closed without close_notify.
    bool endedWithoutNotify() const;
    // Decrypted or received bytes wait to be read, which the socket cannot see.
    bool hasBufferedBytes() const;
    // Sends close_notify when the session is intact, without waiting for the peer.
    void close();

private:
    std::unique_ptr<TlsConnectionPrivate> d;
};
