#include "net/FormPostClient.h"

#include "diag/Exception.h"
#include "net/HttpReply.h"
#include "net/HttpUrl.h"
#include "net/NetErrors.h"
#include "net/Socket.h"

#include <QFile>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>

class FormPostClientPrivate
{
public:
    ~FormPostClientPrivate() { closeConnection(); }

    // `form`, when given, is the form whose body `body` is: its fields name the files.
    QString post(const QString &url, const QByteArray &contentType, qint64 length,
        FormBodyStream &body, const MultipartForm *form);
    void checkServer(const QString &url);
    // Connects to `to`, with the handshake for https.
    void open(const HttpTarget &to);
    void closeConnection();
    void send(const char *data, qint64 size);
    void sendBody(FormBodyStream &body, const MultipartForm *form);
    qint64 receive(char *buffer, qint64 capacity);

    HttpTarget target;
    CookieJar jar;
    Socket socket;
    int connectTimeoutMs = 0;
    std::atomic<qint64> bodySent{0};
    std::optional<ReplyShortfall> shortfall;
    TlsOptions tlsOptions;
    std::shared_ptr<TlsContext> tlsContext; // built at the first https connection
    std::unique_ptr<TlsConnection> tls;     // while an https connection is open
};

namespace
{

// Every character above 127 (a surrogate pair counts as one) is written as "?".
QByteArray asciiOnly(const QString &text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.unicode() > 127) {
            bytes.append('?');
            if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
                ++i;
        } else {
            bytes.append(char(c.unicode()));
        }
    }
    return bytes;
}

// The file behind `fd`, for an error message: the path its form field opened, else the
// path the system knows the descriptor by.
QString fileNameOf(int fd, const MultipartForm *form)
{
    if (form) {
        for (const auto &field : form->fields())
            if (field->file && field->file->fd() == fd)
                return field->file->absolutePath();
    }
    const QString link = QStringLiteral("/proc/self/fd/%1").arg(fd);
    const QString linked = QFile::symLinkTarget(link);
    return linked.isEmpty() ? link : linked;
}

// Over TLS a file goes through user space (no sendfile): neighbouring stretches are read
// together, in blocks of this size, so that each read and each write moves enough.
constexpr qint64 TlsFileBlockSize = Socket::CopyBlockSize;

bool keepAlive(const HttpReplyReader &reply)
{
    if (reply.peerClosed())
        return false;
    const QByteArray token = reply.hasHeader("Connection") ? reply.header("Connection")
                                                           : reply.header("Proxy-Connection");
    return token.trimmed().compare("keep-alive", Qt::CaseInsensitive) == 0;
}

} // namespace

QList<QByteArray> foldHeaderLine(const QByteArray &line)
{
    // One pass: `scan` only moves forward, and a break point lies outside double quotes
    // exactly when the quotes before it are balanced, so the quote state carries over
    // from one folded line to the next.
    QList<QByteArray> lines;
    const qsizetype size = line.size();
    qsizetype start = 0;      // where the line being folded off begins
    qsizetype prefix = 0;     // its leading space, from the second line on
    qsizetype scan = 0;       // the next character to look at
    bool quoted = false;      // at `scan`
    qsizetype lastBreak = -1; // the last break point before `scan`
    const auto isBreak = [&line, &quoted](qsizetype i) {
        const char c = line.at(i);
        if (c == '"')
            quoted = !quoted;
        return !quoted && (c == ' ' || c == '\t' || c == ',');
    };
    while (prefix + size - start > MaxRequestHeaderLine) {
        // The latest break point that keeps this line within the limit ...
        const qsizetype fitsUpTo = start + MaxRequestHeaderLine - prefix - 1;
        for (; scan < size && scan <= fitsUpTo; ++scan) {
            if (isBreak(scan))
                lastBreak = scan;
        }
        qsizetype at = lastBreak >= start ? lastBreak : -1;
        // ... else the first one beyond it.
        for (; at < 0 && scan < size; ++scan) {
            if (isBreak(scan)) {
                lastBreak = scan;
                at = scan;
            }
        }
        if (at < 0 || at + 1 >= size)
            break; // no break point left: the line stays long
        QByteArray folded;
        folded.reserve(prefix + at + 1 - start);
        if (prefix > 0)
            folded.append(' ');
        folded.append(QByteArrayView(line).sliced(start, at + 1 - start));
        lines.append(std::move(folded));
        start = at + 1;
        prefix = 1;
    }
    lines.append((prefix > 0 ? QByteArray(" ") : QByteArray()) + line.sliced(start));
    return lines;
}

QByteArray requestHead(const QString &requestTarget, const QByteArray &contentType,
    qint64 contentLength, const QString &host, const std::optional<QString> &cookie)
{
    QByteArray head = "POST " + asciiOnly(requestTarget) + " HTTP/1.0\r\n";
    auto addHeader = [&head](const char *name, const QString &value) {
        for (const QByteArray &line : foldHeaderLine(name + QByteArray(": ") + asciiOnly(value)))
            head += line + "\r\n";
    };
    addHeader("Connection", QStringLiteral("keep-alive"));
    addHeader("Content-Type", QString::fromLatin1(contentType));
    addHeader("Content-Length", QString::number(contentLength));
    addHeader("Host", host);
    addHeader("Accept",
        QStringLiteral("text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"));
    addHeader("Accept-Encoding", QStringLiteral("identity"));
    addHeader("User-Agent", QStringLiteral("Mozilla/3.0 (compatible; Indy Library)"));
    if (cookie && !cookie->isEmpty())
        addHeader("Cookie", *cookie);
    head += "\r\n";
    return head;
}

FormPostClient::FormPostClient()
    : d(std::make_unique<FormPostClientPrivate>())
{
}

FormPostClient::~FormPostClient() = default;

void FormPostClient::setRequestContentType(const QString &) { }

CookieJar &FormPostClient::cookieJar()
{
    return d->jar;
}

bool FormPostClient::isConnected() const
{
    return d->socket.isOpen();
}

void FormPostClient::abort()
{
    d->socket.abort();
}

void FormPostClient::setConnectTimeout(int ms)
{
    d->connectTimeoutMs = qMax(ms, 0);
}

void FormPostClient::setIdleTimeout(int ms)
{
    d->socket.setIdleTimeout(ms);
}

void FormPostClient::resetIdleClock()
{
    d->socket.resetIdleClock();
}

void FormPostClient::setSocketSeams(SocketSeams seams)
{
    d->socket.setSeams(std::move(seams));
}

void FormPostClient::setTlsOptions(const TlsOptions &options)
{
    d->tlsOptions = options;
    d->tlsContext.reset();
}

void FormPostClient::checkServer(const QString &url)
{
    d->checkServer(url);
}

QString FormPostClient::post(const QString &url, const MultipartForm &form)
{
    const std::unique_ptr<FormBodyStream> body = form.openBody();
    return d->post(url, form.contentType(), form.bodyLength(), *body, &form);
}

QString FormPostClient::post(
    const QString &url, const QByteArray &contentType, qint64 length, FormBodyStream &body)
{
    return d->post(url, contentType, length, body, nullptr);
}

void FormPostClientPrivate::open(const HttpTarget &to)
{
    const quint16 port = connectPort(to);
    // The CA file is read before anything goes out: a wrong one fails at once.
    if (usesTls(to) && !tlsContext)
        tlsContext = newTlsContext(tlsOptions, to.host);
    const Socket::Deadline connectBy = connectTimeoutMs > 0
        ? Socket::Deadline(Socket::Clock::now() + std::chrono::milliseconds(connectTimeoutMs))
        : std::nullopt;
    socket.connect(socket.resolve(to.host, connectBy), port, connectBy);
    if (usesTls(to)) {
        tls = std::make_unique<TlsConnection>(tlsContext, socket);
        tls->handshake(to.host);
    }
}

void FormPostClientPrivate::closeConnection()
{
    if (tls) {
        tls->close();
        tls.reset();
    }
    socket.close();
}

void FormPostClientPrivate::send(const char *data, qint64 size)
{
    if (tls)
        tls->write(data, size);
    else
        socket.sendAll(data, size);
}

void FormPostClientPrivate::sendBody(FormBodyStream &body, const MultipartForm *form)
{
    FormBlock block;
    int namedFd = -1;
    QString fileName;
    const auto nameFile = [&](int fd) {
        if (fd != namedFd) {
            namedFd = fd;
            fileName = fileNameOf(fd, form);
        }
        return fileName;
    };
    // Over TLS: neighbouring file stretches not read yet, read and sent as one.
    FormBlock run;
    const auto sendRun = [&] {
        if (run.length == 0)
            return;
        socket.readFile(run.fd, run.offset, run.length, nameFile(run.fd),
            [this](const char *bytes, qint64 size) {
                tls->write(bytes, size);
                bodySent.fetch_add(size, std::memory_order_relaxed);
            });
        run.length = 0;
    };
    while (body.next(block)) {
        if (tls && block.fd >= 0) {
            if (run.length > 0 && (block.fd != run.fd || block.offset != run.offset + run.length))
                sendRun();
            if (run.length == 0) {
                run.fd = block.fd;
                run.offset = block.offset;
            }
            run.length += block.length;
            if (run.length >= TlsFileBlockSize)
                sendRun();
            continue;
        }
        sendRun();
        if (block.fd >= 0)
            socket.sendFile(block.fd, block.offset, block.length, nameFile(block.fd));
        else
            send(block.bytes.constData(), block.bytes.size());
        // One relaxed store a block: progress costs the upload nothing measurable.
        bodySent.fetch_add(block.length, std::memory_order_relaxed);
    }
    sendRun();
}

qint64 FormPostClientPrivate::receive(char *buffer, qint64 capacity)
{
    return tls ? tls->read(buffer, capacity) : socket.receive(buffer, capacity);
}

void FormPostClientPrivate::checkServer(const QString &url)
{
    checkUrlCharacters(url);
    HttpTarget probe = target; // a check leaves the target of the posts as it was
    resolveUrl(probe, url);
    if (!usesTls(probe))
        return;
    closeConnection();
    try {
        open(probe);
    } catch (...) {
        closeConnection();
        throw;
    }
    closeConnection();
}

QString FormPostClientPrivate::post(const QString &url, const QByteArray &contentType,
    qint64 length, FormBodyStream &body, const MultipartForm *form)
{
    closeConnection();
    // From the start: the count is this post's, never the last one's, while it connects.
    bodySent.store(0, std::memory_order_relaxed);
    shortfall.reset();
    checkUrlCharacters(url);
    resolveUrl(target, url);
    try {
        open(target);
        // An internationalised host goes into the Host header in its ASCII form, as it
        // was looked up, rather than as question marks.
        QString host = hostHeaderValue(target);
        const bool ascii = std::all_of(
            target.host.begin(), target.host.end(), [](QChar c) { return c.unicode() < 128; });
        if (const QByteArray ace = QUrl::toAce(target.host); !ascii && !ace.isEmpty())
            host.replace(0, target.host.size(), QString::fromLatin1(ace));
        const QByteArray head = requestHead(requestTarget(target), contentType, length, host,
            jar.cookieHeader(target.host, target.path, usesTls(target)));
        socket.holdSegments(true);
        bodySent.store(0, std::memory_order_relaxed);
        send(head.constData(), head.size());

        // A server may answer (413, say) and close while the body is still going out;
        // its reply then explains the failure better than the broken send does. A file
        // that cannot be read (FileReadError) ends the post at once: no reply will come
        // for a body that stopped short.
        std::exception_ptr sendFailure;
        try {
            sendBody(body, form);
            socket.holdSegments(false);
        } catch (const SocketError &) {
            if (socket.isAborted())
                throw;
            sendFailure = std::current_exception();
            // The connection may still be open (no buffer space, say): a server waiting
            // for the rest of the body would never answer, and the post would wait too.
            socket.shutdownWrite();
        }

        HttpReplyReader reply;
        QByteArray buffer(FormPostClient::BlockSize, Qt::Uninitialized);
        try {
            bool done = false;
            while (!done) {
                switch (reply.next()) {
                case HttpReplyReader::Event::NeedMore: {
                    const qint64 received = receive(buffer.data(), buffer.size());
                    // Over TLS only close_notify ends a body that the close ends: a bare
                    // close there may be a cut that no length gives away.
                    if (received == 0 && tls && tls->endedWithoutNotify()
                        && reply.inCloseDelimitedBody())
                        throw TransportError(QStringLiteral("Connection Closed Gracefully."));
                    if (received == 0)
                        reply.feedEnd();
                    else
                        reply.feed(QByteArrayView(buffer.constData(), received));
                    break;
                }
                case HttpReplyReader::Event::Head:
                    jar.store(target.host, target.path, reply.setCookies());
                    if (!reply.isInterim() && reply.statusCode() >= 300 && reply.statusCode() < 400
                        && reply.bodyExpected() && !reply.hasBufferedBytes() && !reply.peerClosed()
                        && !(tls && tls->hasBufferedBytes())
                        && !socket.waitReadable(FormPostClient::RedirectBodyWaitMs))
                        reply.skipBody();
                    break;
                case HttpReplyReader::Event::Done: done = true; break;
                }
            }
        } catch (const Exception &) {
            if (sendFailure)
                std::rethrow_exception(sendFailure);
            throw;
        }

        if (!keepAlive(reply))
            closeConnection();
        if (reply.cutShort())
            shortfall = ReplyShortfall{reply.body().size(), reply.announcedLength()};
        const int code = reply.statusCode();
        if (code >= 200 && code < 300) {
            // A success that came before the whole form went out does not vouch for it.
            if (sendFailure)
                std::rethrow_exception(sendFailure);
            return reply.text();
        }
        throw ProtocolError(reply.statusLine(), code, reply.text());
    } catch (const ProtocolError &) {
        throw;
    } catch (...) {
        closeConnection();
        throw;
    }
}

std::optional<ReplyShortfall> FormPostClient::lastReplyShortfall() const
{
    return d->shortfall;
}

qint64 FormPostClient::bodyBytesSent() const
{
    return d->bodySent.load(std::memory_order_relaxed);
}
