// Failures of the form-post client, each with its exact message text.
#pragma once

#include "diag/Exception.h"

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

// The cause of a transport failure in a few words for the user (in Russian), the one
// place where they are worded; empty when `failure` is no transport failure (the
// service's own answer, a local file, a refused thread).
QString transportCause(const std::exception &failure);

// A failure's message on one line: its line breaks (the socket error's CR LF) as spaces.
QString oneLineMessage(const QString &message);
