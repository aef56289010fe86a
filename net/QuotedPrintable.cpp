#include "net/QuotedPrintable.h"

namespace
{

constexpr char HexDigits[] = "0123456789ABCDEF";

// Walks the source lines and hands every output piece to sink(const char *, qsizetype).
template <typename Sink> void encodeInto(const QByteArray &bytes, Sink &&sink)
{
    const char *data = bytes.constData();
    const qsizetype size = bytes.size();
    qsizetype lineStart = 0;
    while (lineStart < size) {
        qsizetype lineEnd = lineStart;
        while (lineEnd < size && data[lineEnd] != '\r' && data[lineEnd] != '\n')
            ++lineEnd;

        int column = 0;
        for (qsizetype i = lineStart; i < lineEnd; ++i) {
            const auto byte = static_cast<unsigned char>(data[i]);
            const bool lastOfLine = i + 1 == lineEnd;
            char escaped[3] = {'=', HexDigits[byte >> 4], HexDigits[byte & 0x0F]};
            if ((byte == ' ' || byte == '\t') && !lastOfLine) {
                sink(data + i, 1);
                column += 1;
            } else if (byte >= 33 && byte <= 126 && byte != '=' && !(byte == '.' && column == 0)) {
                sink(data + i, 1);
                column += 1;
            } else {
                sink(escaped, 3);
                column += 3;
            }
            if (column >= QuotedPrintable::SoftBreakAt) {
                sink("=\r\n", 3);
                column = 0;
            }
        }
        sink("\r\n", 2);

        // One break: CR LF, a lone CR or a lone LF.
        if (lineEnd < size && data[lineEnd] == '\r' && lineEnd + 1 < size
            && data[lineEnd + 1] == '\n')
            lineStart = lineEnd + 2;
        else
            lineStart = lineEnd + 1;
    }
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

namespace QuotedPrintable
{

QByteArray encode(const QByteArray &bytes)
{
    QByteArray out;
    out.reserve(encodedLength(bytes));
    encodeInto(bytes, [&out](const char *piece, qsizetype n) { out.append(piece, n); });
    return out;
}

qint64 encodedLength(const QByteArray &bytes)
{
    qint64 length = 0;
    encodeInto(bytes, [&length](const char *, qsizetype n) { length += n; });
    return length;
}

QByteArray decode(const QByteArray &text)
{
    QByteArray out;
    out.reserve(text.size());
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char c = text[i];
        if (c != '=') {
            out.append(c);
            continue;
        }
        if (i + 2 < size && text[i + 1] == '\r' && text[i + 2] == '\n') {
            i += 2; // soft line break
            continue;
        }
        if (i + 2 < size && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out.append(char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
            i += 2;
            continue;
        }
        out.append(c);
    }
    return out;
}

QByteArray normalizedLines(const QByteArray &bytes)
{
    QByteArray out;
    const qsizetype size = bytes.size();
    qsizetype lineStart = 0;
    while (lineStart < size) {
        qsizetype lineEnd = lineStart;
        while (lineEnd < size && bytes[lineEnd] != '\r' && bytes[lineEnd] != '\n')
            ++lineEnd;
        out.append(bytes.constData() + lineStart, lineEnd - lineStart);
        out.append("\r\n");
        if (lineEnd + 1 < size && bytes[lineEnd] == '\r' && bytes[lineEnd + 1] == '\n')
            lineStart = lineEnd + 2;
        else
            lineStart = lineEnd + 1;
    }
    return out;
}

} // namespace QuotedPrintable
