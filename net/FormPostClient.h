// The form-post client: one HTTP/1.0 POST of a multipart form per call over TCP, or over
// TLS for an https address, the reply body decoded to text, every failure raised with its
// exact message text. Each client keeps its own cookie jar. One post at a time per client.
#pragma once

#include "net/CookieJar.h"
#include "net/MultipartForm.h"
#include "net/Socket.h"
#include "net/TlsConnection.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

class FormPostClientPrivate;

// A reply whose body ended (the peer closed) before its announced Content-Length: it was
// accepted as it came, but it may be missing words.
struct ReplyShortfall {
    qint64 received = 0;
    qint64 announced = 0;
};

class FormPostClient
{
public:
    // A 3xx reply's body is read only when its first bytes arrive within this time.
    static constexpr int RedirectBodyWaitMs = 5000;
    static constexpr qint64 BlockSize = 32768; // bytes per send of the body and per receive

    FormPostClient();
    ~FormPostClient(); // closes a connection still open, drops the cookie jar
    FormPostClient(const FormPostClient &) = delete;
    FormPostClient &operator=(const FormPostClient &) = delete;

    // Accepted and without effect on the wire: every post sends the form's own type.
    void setRequestContentType(const QString &contentType);
    // Posts the form; returns the decoded reply body of a 2xx reply, raises otherwise
    // (Exception, SocketError, ProtocolError; FileReadError when a file field's file
    // cannot be read while it is sent).
    QString post(const QString &url, const MultipartForm &form);
    // The same for a body given as a stream of `length` bytes of type `contentType`.
    QString post(
        const QString &url, const QByteArray &contentType, qint64 length, FormBodyStream &body);
    // Thread-safe: makes a post blocked in connect, send or recv fail at once, so the
    // program can exit while a post waits on the service. Final: every later post of
    // this client fails too (socket error 10053).
    void abort();

    // How long the lookup and the connect of a post may take together, in milliseconds
    // (0, the default: no limit); past it the post fails with socket error 10060.
    void setConnectTimeout(int ms);
    // How long a post may go without sending or receiving a byte, in milliseconds (0, the
    // default: no limit); past it the post fails with TransportError "Read timed out.".
    void setIdleTimeout(int ms);
    // Thread-safe: restarts the idle clock of the post in flight, for a caller that learns
    // by other means (a progress poll, say) that the service is still at work on it.
    void resetIdleClock();

    // For the next https connections (between posts): the trust added to the system's and
    // the certificates accepted as they are.
    void setTlsOptions(const TlsOptions &options);
    // For an https address: connects, completes the handshake and verifies the server's
    // certificate, sends no request, and closes; throws what a post would (TlsError when
    // the handshake or the certificate fails). Does nothing for an http address.
    void checkServer(const QString &url);

    // Replaces the system calls behind the connection (tests: a lookup that never
    // answers, a file that fails while it is sent).
    void setSocketSeams(SocketSeams seams);

    // Bytes of the current (or latest) post's body sent so far; readable from any
    // thread while the post runs, so a progress display can sample it.
    qint64 bodyBytesSent() const;

    // The latest post's reply, when its body broke off short (the post's own thread).
    std::optional<ReplyShortfall> lastReplyShortfall() const;

    CookieJar &cookieJar();
    // Whether the latest reply left its connection open (keep-alive).
    bool isConnected() const;

private:
    std::unique_ptr<FormPostClientPrivate> d;
};

// A request header line longer than this many characters is folded.
inline constexpr qsizetype MaxRequestHeaderLine = 1024;

// The request head: request line, the fixed header order, the Cookie header only when
// one applies, folded lines, "?" for every character above 127, a closing empty line.
QByteArray requestHead(const QString &requestTarget, const QByteArray &contentType,
    qint64 contentLength, const QString &host, const std::optional<QString> &cookie);
// A header line broken after a space, tab or comma outside double quotes so that its
// lines stay within MaxRequestHeaderLine where such a break exists; continuation lines
// begin with one space.
QList<QByteArray> foldHeaderLine(const QByteArray &line);
