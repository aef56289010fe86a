#include "net/Rfc2047.h"

#include "net/PartHeaderCharset.h"

#include <algorithm>

namespace
{

bool isWordBreak(char c)
{
    return c == ' ' || c == '\t';
}

// Raw "=?" could be read as the start of an encoded-word, also together with the "?=" of
// one we write later on the line, so then every "=" travels encoded.
bool holdsEncodedWordStart(const QByteArray &bytes)
{
    return bytes.contains("=?");
}

bool needsEncoding(const char *begin, const char *end, bool equalsNeedsEncoding)
{
    return std::any_of(begin, end, [equalsNeedsEncoding](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 32 || byte > 126 || byte == '"' || byte == '\\'
            || (byte == '=' && equalsNeedsEncoding);
    });
}

// Appends the run as encoded-words, cut between base64 groups so that none passes the limit.
void appendEncodedRun(QByteArray &out, const QByteArray &run, const QByteArray &charset)
{
    const QByteArray prefix = "=?" + charset + "?B?";
    const qsizetype overhead = prefix.size() + 2;
    const qsizetype groupsPerWord
        = std::max<qsizetype>(1, (Rfc2047::MaxEncodedWordLength - overhead) / 4);
    const qsizetype bytesPerWord = groupsPerWord * 3;
    for (qsizetype start = 0; start < run.size(); start += bytesPerWord) {
        if (start > 0)
            out.append("?=\r\n ");
        out.append(prefix);
        out.append(run.mid(start, bytesPerWord).toBase64());
    }
    out.append("?=");
}

// Parses "=?charset?B|Q?text?=" at pos; returns its end, or -1 when it is not one.
qsizetype parseEncodedWord(
    const QByteArray &in, qsizetype pos, QByteArray &charset, QByteArray &decoded)
{
    if (!QByteArrayView(in).sliced(pos).startsWith("=?")) // no copy of the rest per byte
        return -1;
    const qsizetype charsetEnd = in.indexOf('?', pos + 2);
    if (charsetEnd < 0 || charsetEnd == pos + 2 || charsetEnd + 2 >= in.size()
        || in[charsetEnd + 2] != '?')
        return -1;
    const char encoding = in[charsetEnd + 1];
    const qsizetype textStart = charsetEnd + 3;
    const qsizetype textEnd = in.indexOf("?=", textStart);
    if (textEnd < 0)
        return -1;
    const QByteArray name = in.mid(pos + 2, charsetEnd - pos - 2);
    const QByteArray text = in.mid(textStart, textEnd - textStart);
    if (name.contains(' ') || text.contains(' ') || text.contains('\t') || text.contains('\r')
        || text.contains('\n'))
        return -1;
    if (encoding == 'B' || encoding == 'b') {
        auto result = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
        if (!result)
            return -1;
        decoded = *result;
    } else if (encoding == 'Q' || encoding == 'q') {
        decoded.clear();
        for (qsizetype i = 0; i < text.size(); ++i) {
            if (text[i] == '_') {
                decoded.append(' ');
            } else if (text[i] == '=' && i + 2 < text.size()) {
                decoded.append(QByteArray::fromHex(text.mid(i + 1, 2)));
                i += 2;
            } else {
                decoded.append(text[i]);
            }
        }
    } else {
        return -1;
    }
    charset = name;
    return textEnd + 2;
}

} // namespace

namespace Rfc2047
{

QByteArray encode(const QString &text, const QByteArray &charset)
{
    return encodeBytes(HeaderCharset::fromUnicode(text, charset), charset);
}

QByteArray encodeBytes(const QByteArray &bytes, const QByteArray &charset)
{
    const bool equalsNeedsEncoding = holdsEncodedWordStart(bytes);
    QByteArray out;
    out.reserve(bytes.size() + bytes.size() / 2 + 16);

    const char *data = bytes.constData();
    const qsizetype size = bytes.size();
    qsizetype pos = 0;
    qsizetype runStart = -1; // first byte of the pending run of words that need encoding
    qsizetype runEnd = -1;   // just past its last word
    while (pos < size) {
        const qsizetype spaceStart = pos;
        while (pos < size && isWordBreak(data[pos]))
            ++pos;
        const qsizetype wordStart = pos;
        while (pos < size && !isWordBreak(data[pos]))
            ++pos;
        if (wordStart == pos) { // white space at the end
            if (runStart >= 0) {
                appendEncodedRun(out, bytes.mid(runStart, runEnd - runStart), charset);
                runStart = -1;
            }
            out.append(data + spaceStart, pos - spaceStart);
            break;
        }
        if (needsEncoding(data + wordStart, data + pos, equalsNeedsEncoding)) {
            if (runStart < 0) {
                out.append(data + spaceStart, wordStart - spaceStart);
                runStart = wordStart;
            }
            runEnd = pos;
        } else {
            if (runStart >= 0) {
                appendEncodedRun(out, bytes.mid(runStart, runEnd - runStart), charset);
                runStart = -1;
            }
            out.append(data + spaceStart, pos - spaceStart);
        }
    }
    if (runStart >= 0)
        appendEncodedRun(out, bytes.mid(runStart, runEnd - runStart), charset);
    return out;
}

QByteArray decodeBytes(const QByteArray &header, QByteArray *charset)
{
    QByteArray out;
    QByteArray pendingSpace; // white space after an encoded-word: dropped before another one
    bool afterEncodedWord = false;
    QByteArray wordCharset;
    QByteArray decoded;
    for (qsizetype pos = 0; pos < header.size();) {
        const char c = header[pos];
        if (afterEncodedWord && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
            pendingSpace.append(c);
            ++pos;
            continue;
        }
        const qsizetype end = parseEncodedWord(header, pos, wordCharset, decoded);
        if (end >= 0) {
            pendingSpace.clear();
            out.append(decoded);
            if (charset)
                *charset = wordCharset;
            afterEncodedWord = true;
            pos = end;
            continue;
        }
        out.append(pendingSpace);
        pendingSpace.clear();
        afterEncodedWord = false;
        out.append(c);
        ++pos;
    }
    out.append(pendingSpace);
    return out;
}

QString decode(const QByteArray &header)
{
    QByteArray charset;
    const QByteArray bytes = decodeBytes(header, &charset);
    return charset.isEmpty() ? QString::fromLatin1(bytes)
                             : HeaderCharset::toUnicode(bytes, charset);
}

} // namespace Rfc2047
