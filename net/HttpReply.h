// The reply reader of the form-post client: an HTTP/1.x response (RFC 7230 message
// framing, RFC 1945 close-delimited bodies) parsed from bytes as they arrive, without
// touching a socket. The head lines, the header count and the body are bounded.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

struct HttpHeader {
    QByteArray name;  // as received, bytes above 127 read as "?"
    QByteArray value; // trimmed; continuation lines joined with one space
};

class HttpReplyReader
{
public:
    // A status or header line longer than this (CR LF not counted) fails the post.
    static constexpr qsizetype MaxLineLength = 16384;
    // Header lines per head (and per chunked trailer); one more fails the post, so a
    // hostile head cannot hold more than MaxHeaderLines * MaxLineLength bytes.
    static constexpr int MaxHeaderLines = 255;
    // No reply of the service comes near this; a larger body fails the post instead of
    // exhausting memory.
    static constexpr qint64 MaxBodyLength = 256 * 1024 * 1024;

    enum class Event {
        NeedMore, // feed more bytes (or feedEnd)
        Head,     // a head is complete: status and headers can be read
        Done,     // the reply is complete: body() and text() can be read
    };

    void feed(QByteArrayView bytes);
    void feedEnd(); // the peer closed the connection
    // Parses as far as the bytes go. Throws Exception on a malformed or oversized reply
    // and on a close where the reply cannot end.
    Event next();
    // After a Head with bodyExpected(): the body is not waited for (a 3xx reply whose
    // body does not start in time); the reply is complete with an empty body.
    void skipBody();

    // Head: a 100 head is followed by the next head.
    bool isInterim() const { return m_statusCode == 100; }
    const QString &statusLine() const { return m_statusLine; }
    int statusCode() const { return m_statusCode; }
    const QList<HttpHeader> &headers() const { return m_headers; }
    QByteArray header(QByteArrayView name) const; // the first of that name, else empty
    bool hasHeader(QByteArrayView name) const;
    QList<QByteArray> setCookies() const; // values of this head's "Set-Cookie" headers
    bool bodyExpected() const;
    bool hasBufferedBytes() const { return m_pos < m_buffer.size(); }
    bool peerClosed() const { return m_ended; }
    // NeedMore inside a body that only the peer's close ends: over TLS a close without
    // close_notify there may be a cut, not the end.
    bool inCloseDelimitedBody() const { return m_state == State::CloseBody; }

    // Done
    const QByteArray &body() const { return m_body; }
    // The body ended (the peer closed) before its announced length: the bytes received
    // and the Content-Length, for telling that a reply may be incomplete.
    bool cutShort() const { return m_cutShort; }
    qint64 announcedLength() const { return m_announcedLength; }
    // The charset the body is decoded with (empty: one character per byte).
    QString charset() const;
    QString text() const;

private:
    enum class State {
        StatusLine,
        HeaderLines,
        HeadComplete,
        FixedBody,
        CloseBody,
        ChunkSize,
        ChunkData,
        ChunkDataEnd,
        Trailers,
        Finished,
    };
    enum class LineResult { Line, NeedMore, Ended };

    LineResult takeLine(QByteArray &line);
    void addHeaderLine(const QByteArray &line, int &lineCount);
    void chooseBodyMode();
    void appendBody(QByteArrayView bytes);
    void finish();
    void applyMetaHeaders();
    void setHeader(const QByteArray &name, const QByteArray &value);

    QByteArray m_buffer;
    qsizetype m_pos = 0;
    qsizetype m_lineScanned = 0; // bytes after m_pos known to hold no LF
    bool m_ended = false;
    State m_state = State::StatusLine;
    State m_afterHead = State::Finished;
    QString m_pendingError; // raised after the head is handed out (its cookies count)
    QString m_statusLine;
    int m_statusCode = -1;
    QList<HttpHeader> m_headers;
    int m_headerLines = 0;
    qint64 m_remaining = 0;
    qint64 m_announcedLength = -1;
    bool m_cutShort = false;
    QByteArray m_body;
};

// The text of a status code: the text after the first space up to the next space as a
// decimal number, -1 when it is not one.
int parseStatusCode(const QString &statusLine);
