#include "net/HttpReply.h"

#include "net/Charsets.h"
#include "net/NetErrors.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace
{

const QString ConnectionClosed = QStringLiteral("Connection Closed Gracefully.");

[[noreturn]] void fail(const QString &message)
{
    throw TransportError(message);
}

QString bodyLimitMessage()
{
    return QStringLiteral("Reply body exceeds %1 bytes.").arg(HttpReplyReader::MaxBodyLength);
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t';
}

// Head lines are read as single-byte text where bytes above 127 read as "?".
void maskHighBytes(QByteArray &line)
{
    for (char &c : line)
        if (uchar(c) > 127)
            c = '?';
}

bool sameName(QByteArrayView a, QByteArrayView b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// A decimal Content-Length; -1 when it is not a plain non-negative 64-bit number.
qint64 parseLength(QByteArrayView text)
{
    text = text.trimmed();
    if (text.isEmpty())
        return -1;
    qint64 value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        if (value > (std::numeric_limits<qint64>::max() - (c - '0')) / 10)
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// The media type ("type/subtype", lower case) and the charset parameter of a
// Content-Type value.
void splitContentType(const QByteArray &value, QString &mediaType, QString &charset)
{
    const QList<QByteArray> parts = value.split(';');
    mediaType = QString::fromLatin1(parts.value(0).trimmed()).toLower();
    charset.clear();
    for (qsizetype i = 1; i < parts.size(); ++i) {
        const QByteArray parameter = parts.at(i).trimmed();
        const qsizetype equals = parameter.indexOf('=');
        if (equals < 0 || !sameName(parameter.left(equals).trimmed(), "charset"))
            continue;
        QByteArray text = parameter.mid(equals + 1).trimmed();
        if (text.size() >= 2 && text.startsWith('"') && text.endsWith('"'))
            text = text.mid(1, text.size() - 2);
        charset = QString::fromLatin1(text);
    }
}

// http-equiv META elements of an HTML document's head, as (header, value) pairs.
QList<QPair<QByteArray, QByteArray>> metaHttpEquiv(const QByteArray &html)
{
    QList<QPair<QByteArray, QByteArray>> found;
    const qsizetype size = html.size();
    qsizetype at = 0;
    while (true) {
        at = html.indexOf('<', at);
        if (at < 0)
            break;
        if (html.mid(at, 4) == "<!--") {
            const qsizetype end = html.indexOf("-->", at + 4);
            if (end < 0)
                break;
            at = end + 3;
            continue;
        }
        qsizetype nameEnd = at + 1;
        while (nameEnd < size && (std::isalnum(uchar(html.at(nameEnd))) || html.at(nameEnd) == '/'))
            ++nameEnd;
        const QByteArray tag = html.mid(at + 1, nameEnd - at - 1).toLower();
        if (tag == "/head" || tag == "body")
            break;
        at = nameEnd;
        if (tag != "meta")
            continue;
        QByteArray httpEquiv;
        QByteArray content;
        bool hasContent = false;
        while (at < size && html.at(at) != '>') {
            const char c = html.at(at);
            if (isSpace(c) || c == '\r' || c == '\n' || c == '/') {
                ++at;
                continue;
            }
            qsizetype nameStart = at;
            while (at < size && !QByteArrayView(" \t\r\n=>/").contains(html.at(at)))
                ++at;
            const QByteArray attribute = html.mid(nameStart, at - nameStart).toLower();
            while (at < size && QByteArrayView(" \t\r\n").contains(html.at(at)))
                ++at;
            QByteArray value;
            if (at < size && html.at(at) == '=') {
                ++at;
                while (at < size && QByteArrayView(" \t\r\n").contains(html.at(at)))
                    ++at;
                if (at < size && (html.at(at) == '"' || html.at(at) == '\'')) {
                    const char quote = html.at(at);
                    const qsizetype end = html.indexOf(quote, at + 1);
                    const qsizetype stop = end < 0 ? size : end;
                    value = html.mid(at + 1, stop - at - 1);
                    at = end < 0 ? size : end + 1;
                } else {
                    const qsizetype start = at;
                    while (at < size && !QByteArrayView(" \t\r\n>").contains(html.at(at)))
                        ++at;
                    value = html.mid(start, at - start);
                }
            }
            if (attribute == "http-equiv") {
                httpEquiv = value.trimmed();
            } else if (attribute == "content") {
                content = value;
                hasContent = true;
            }
        }
        if (!httpEquiv.isEmpty() && hasContent) {
            maskHighBytes(httpEquiv);
            maskHighBytes(content);
            found.append({httpEquiv, content.trimmed()});
        }
    }
    return found;
}

} // namespace

int parseStatusCode(const QString &statusLine)
{
    const qsizetype space = statusLine.indexOf(u' ');
    if (space < 0)
        return -1;
    qsizetype end = statusLine.indexOf(u' ', space + 1);
    if (end < 0)
        end = statusLine.size();
    bool ok = false;
    const int code = QStringView(statusLine).mid(space + 1, end - space - 1).toInt(&ok, 10);
    return ok ? code : -1;
}

void HttpReplyReader::feed(QByteArrayView bytes)
{
    if (m_pos > 0 && m_pos >= m_buffer.size() / 2) {
        m_buffer.remove(0, m_pos);
        m_pos = 0;
    }
    m_buffer.append(bytes);
}

void HttpReplyReader::feedEnd()
{
    m_ended = true;
}

HttpReplyReader::LineResult HttpReplyReader::takeLine(QByteArray &line)
{
    // Bytes already searched are not searched again: a line dripped in byte by byte
    // stays linear.
    const qsizetype lf = m_buffer.indexOf('\n', m_pos + m_lineScanned);
    const qsizetype end = lf < 0 ? m_buffer.size() : lf;
    qsizetype length = end - m_pos;
    const bool endsWithCr = length > 0 && m_buffer.at(end - 1) == '\r';
    // Without its LF the line may still be followed by one, so its CR may still drop.
    if ((endsWithCr ? length - 1 : length) > MaxLineLength)
        fail(QStringLiteral("Max line length exceeded."));
    if (lf < 0) {
        m_lineScanned = m_buffer.size() - m_pos;
        return m_ended ? LineResult::Ended : LineResult::NeedMore;
    }
    m_lineScanned = 0;
    if (endsWithCr)
        --length;
    line = m_buffer.mid(m_pos, length);
    maskHighBytes(line);
    m_pos = lf + 1;
    return LineResult::Line;
}

void HttpReplyReader::addHeaderLine(const QByteArray &line, int &lineCount)
{
    if (++lineCount > MaxHeaderLines)
        fail(QStringLiteral("Max header lines exceeded."));
    if (isSpace(line.at(0)) && !m_headers.isEmpty()) {
        HttpHeader &previous = m_headers.last();
        const QByteArray more = line.trimmed();
        if (!more.isEmpty())
            previous.value += previous.value.isEmpty() ? more : ' ' + more;
        return;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0)
        return; // not a header; nothing to keep
    m_headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
}

QByteArray HttpReplyReader::header(QByteArrayView name) const
{
    for (const HttpHeader &h : m_headers)
        if (sameName(h.name, name))
            return h.value;
    return {};
}

bool HttpReplyReader::hasHeader(QByteArrayView name) const
{
    for (const HttpHeader &h : m_headers)
        if (sameName(h.name, name))
            return true;
    return false;
}

QList<QByteArray> HttpReplyReader::setCookies() const
{
    QList<QByteArray> values;
    for (const HttpHeader &h : m_headers)
        if (sameName(h.name, "Set-Cookie"))
            values.append(h.value);
    return values;
}

bool HttpReplyReader::bodyExpected() const
{
    return m_afterHead != State::Finished;
}

void HttpReplyReader::chooseBodyMode()
{
    m_afterHead = State::Finished;
    m_pendingError.clear();
    const int code = m_statusCode;
    if ((code >= 100 && code < 200) || code == 204 || code == 304)
        return;
    for (const HttpHeader &h : m_headers) {
        if (sameName(h.name, "Transfer-Encoding") && h.value.toLower().contains("chunked")) {
            m_afterHead = State::ChunkSize;
            return;
        }
    }
    // Conflicting or unreadable lengths leave the body's end unknown (RFC 7230 3.3.3):
    // the reply is refused rather than cut at a guess.
    qint64 length = -1;
    bool given = false;
    for (const HttpHeader &h : m_headers) {
        if (!sameName(h.name, "Content-Length"))
            continue;
        for (const QByteArray &item : h.value.split(',')) {
            const qint64 value = parseLength(item);
            if (value < 0 || (given && value != length)) {
                m_pendingError = QStringLiteral("Invalid Content-Length in the reply: \"%1\".")
                                     .arg(QString::fromLatin1(h.value.left(64)));
                m_afterHead = State::Finished;
                return;
            }
            length = value;
            given = true;
        }
    }
    if (given) {
        if (length > MaxBodyLength) {
            m_pendingError = bodyLimitMessage();
        } else if (length > 0) {
            m_remaining = length;
            m_announcedLength = length;
            m_afterHead = State::FixedBody;
        }
        return;
    }
    m_afterHead = State::CloseBody;
}

void HttpReplyReader::skipBody()
{
    if (m_state == State::HeadComplete && m_pendingError.isEmpty())
        m_afterHead = State::Finished;
}

void HttpReplyReader::appendBody(QByteArrayView bytes)
{
    if (m_body.size() + bytes.size() > MaxBodyLength)
        fail(bodyLimitMessage());
    m_body.append(bytes);
}

void HttpReplyReader::finish()
{
    m_state = State::Finished;
    applyMetaHeaders();
}

HttpReplyReader::Event HttpReplyReader::next()
{
    QByteArray line;
    while (true) {
        switch (m_state) {
        case State::StatusLine:
            switch (takeLine(line)) {
            case LineResult::NeedMore: return Event::NeedMore;
            case LineResult::Ended: fail(ConnectionClosed);
            case LineResult::Line: break;
            }
            m_statusLine = QString::fromLatin1(line);
            m_statusCode = parseStatusCode(m_statusLine);
            m_headers.clear();
            m_headerLines = 0;
            m_state = State::HeaderLines;
            break;
        case State::HeaderLines: {
            const LineResult result = takeLine(line);
            if (result == LineResult::NeedMore)
                return Event::NeedMore;
            if (result == LineResult::Line && !line.isEmpty()) {
                addHeaderLine(line, m_headerLines);
                break;
            }
            chooseBodyMode();
            if (result == LineResult::Ended && m_pendingError.isEmpty())
                m_afterHead = State::Finished; // closed inside the head: no body follows
            m_state = State::HeadComplete;
            return Event::Head;
        }
        case State::HeadComplete:
            if (isInterim()) {
                m_state = State::StatusLine;
                break;
            }
            if (!m_pendingError.isEmpty())
                fail(m_pendingError);
            m_state = m_afterHead;
            if (m_state == State::Finished) {
                finish();
                return Event::Done;
            }
            break;
        case State::FixedBody: {
            const qint64 take = qMin<qint64>(m_remaining, m_buffer.size() - m_pos);
            appendBody(QByteArrayView(m_buffer).sliced(m_pos, take));
            m_pos += take;
            m_remaining -= take;
            // A close before the announced length ends the body without an error.
            if (m_remaining > 0 && !m_ended)
                return Event::NeedMore;
            m_cutShort = m_remaining > 0;
            finish();
            return Event::Done;
        }
        case State::CloseBody:
            appendBody(QByteArrayView(m_buffer).sliced(m_pos));
            m_pos = m_buffer.size();
            if (!m_ended)
                return Event::NeedMore;
            finish();
            return Event::Done;
        case State::ChunkSize: {
            const LineResult result = takeLine(line);
            if (result == LineResult::NeedMore)
                return Event::NeedMore;
            if (result == LineResult::Ended)
                fail(ConnectionClosed);
            const qsizetype semicolon = line.indexOf(';');
            const QByteArray text = (semicolon < 0 ? line : line.left(semicolon)).trimmed();
            bool ok = false;
            qint64 size = text.isEmpty() ? 0 : text.toLongLong(&ok, 16);
            const bool allHex = !text.isEmpty()
                && std::all_of(
                    text.begin(), text.end(), [](char c) { return std::isxdigit(uchar(c)); });
            if (allHex && (!ok || size > MaxBodyLength - m_body.size()))
                fail(bodyLimitMessage()); // a real size, too large (or past 64 bits)
            if (!allHex)
                size = 0; // text that is not a hexadecimal number counts as 0
            if (size == 0) {
                m_headerLines = 0;
                m_state = State::Trailers;
            } else {
                m_remaining = size;
                m_state = State::ChunkData;
            }
            break;
        }
        case State::ChunkData: {
            const qint64 take = qMin<qint64>(m_remaining, m_buffer.size() - m_pos);
            appendBody(QByteArrayView(m_buffer).sliced(m_pos, take));
            m_pos += take;
            m_remaining -= take;
            if (m_remaining > 0) {
                if (m_ended)
                    fail(ConnectionClosed);
                return Event::NeedMore;
            }
            m_state = State::ChunkDataEnd;
            break;
        }
        case State::ChunkDataEnd:
            switch (takeLine(line)) {
            case LineResult::NeedMore: return Event::NeedMore;
            case LineResult::Ended: fail(ConnectionClosed);
            case LineResult::Line: break;
            }
            m_state = State::ChunkSize;
            break;
        case State::Trailers:
            switch (takeLine(line)) {
            case LineResult::NeedMore: return Event::NeedMore;
            case LineResult::Ended: fail(ConnectionClosed);
            case LineResult::Line: break;
            }
            if (!line.isEmpty()) {
                addHeaderLine(line, m_headerLines);
                break;
            }
            finish();
            return Event::Done;
        case State::Finished: return Event::Done;
        }
    }
}

void HttpReplyReader::setHeader(const QByteArray &name, const QByteArray &value)
{
    m_headers.removeIf([&name](const HttpHeader &h) { return sameName(h.name, name); });
    m_headers.append({name, value});
}

void HttpReplyReader::applyMetaHeaders()
{
    QString mediaType;
    QString ignored;
    splitContentType(header("Content-Type"), mediaType, ignored);
    if (mediaType != u"text/html" && mediaType != u"text/html-sandboxed"
        && mediaType != u"application/xhtml+xml")
        return;
    for (const auto &[name, value] : metaHttpEquiv(m_body))
        setHeader(name, value);
}

QString HttpReplyReader::charset() const
{
    if (!hasHeader("Content-Type"))
        return {};
    QString mediaType;
    QString charset;
    splitContentType(header("Content-Type"), mediaType, charset);
    const qsizetype slash = mediaType.indexOf(u'/');
    const QString type = mediaType.left(slash < 0 ? mediaType.size() : slash);
    const QString subtype = slash < 0 ? QString() : mediaType.mid(slash + 1);
    if (mediaType == u"application/xml" || mediaType == u"application/xml-external-parsed-entity"
        || mediaType == u"application/xml-dtd" || (type != u"text" && subtype.endsWith(u"+xml")))
        return detectXmlCharset(m_body);
    if (!charset.isEmpty())
        return charset;
    if (type != u"text")
        return {};
    if (subtype == u"xml" || subtype == u"xml-external-parsed-entity" || subtype.endsWith(u"+xml"))
        return QStringLiteral("us-ascii");
    return QStringLiteral("ISO-8859-1");
}

QString HttpReplyReader::text() const
{
    return decodeBody(m_body, charset());
}
