// Failures of the form-post client, each with its exact message text.
#pragma once

#include "diag/Exception.h"

#include <QDateTime>

// A failure on the way to or from the service (the address, the connection, a reply that
// breaks off or is not HTTP), as opposed to the service's own answer or a local file.
class TransportError : public Exception
{
public:
    using Exception::Exception;
};

// A Windows Sockets error: "Socket Error # N" CR LF description.
class SocketError : public TransportError
{
public:
    explicit SocketError(int errorCode);
    int errorCode() const noexcept { return m_errorCode; }
    static QString description(int errorCode); // empty for a number not in the table

private:
    int m_errorCode;
};

// A file whose bytes were going out could not be read: "Cannot read file "PATH". REASON",
// REASON being the system's description of `errorCode`.
class FileReadError : public EInOutError
{
public:
    FileReadError(const QString &path, int errorCode);
};

// An HTTP status other than 2xx: the message is the status line as received.
class ProtocolError : public Exception
{
public:
    ProtocolError(const QString &statusLine, int code, QString body);
    int code() const noexcept { return m_code; }
    const QString &body() const noexcept { return m_body; }

private:
    int m_code;
    QString m_body;
};

// A TLS connection that could not be set up: the handshake failed, or the server's
// certificate is not trusted. The message is the TLS library's own reason (for the log);
// the fields tell the user why.
class TlsError : public TransportError
{
public:
    enum class Kind {
        Untrusted,   // the chain does not end at a trusted root
        WrongName,   // valid, but for another name
        Expired,     // past its notAfter
        NotYetValid, // before its notBefore
        Protocol,    // no common TLS version (the server offers less than 1.2)
        Other,       // any other handshake failure
    };
    struct Certificate {
        QString subject;     // one line, "CN=..., O=..."
        QString issuer;      // one line
        QString name;        // the first DNS name, else the subject's CN
        QString chainIssuer; // the CN of the last certificate the server sent
        QDateTime notBefore;
        QDateTime notAfter;
        QByteArray sha256; // of the leaf's DER, raw (32 bytes)
    };

    TlsError(Kind kind, QString host, QString reason, Certificate certificate = {},
        bool gostMaybe = false);
    Kind kind() const noexcept { return m_kind; }
    const QString &host() const noexcept { return m_host; }
    const Certificate &certificate() const noexcept { return m_certificate; }
    // A handshake-failure alert while this OpenSSL offers no GOST suites.
    bool gostMaybe() const noexcept { return m_gostMaybe; }
    // Whether the user may choose to trust the certificate (a verification failure).
    bool certificateProblem() const noexcept
    {
        return m_kind == Kind::Untrusted || m_kind == Kind::WrongName || m_kind == Kind::Expired
            || m_kind == Kind::NotYetValid;
    }

private:
    Kind m_kind;
    QString m_host;
    Certificate m_certificate;
    bool m_gostMaybe;
};

// "AB:CD:..." of a SHA-256 digest.
QString fingerprintText(const QByteArray &sha256);

// The cause of a transport failure in a few words for the user (in Russian), the one
// place where they are worded; empty when `failure` is no transport failure (the
// service's own answer, a local file, a refused thread).
QString transportCause(const std::exception &failure);

// A failure's message on one line: its line breaks (the socket error's CR LF) as spaces.
QString oneLineMessage(const QString &message);
