// Arbitrary bytes through the quoted-printable and RFC 2047 encoders of form parts:
// the output must be printable ASCII (plus tab) with CR LF only where a line ends,
// every line and encoded-word within its limit, and decoding must give the input back.
#include "net/QuotedPrintable.h"
#include "net/Rfc2047.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

namespace
{

void require(bool condition)
{
    if (!condition)
        std::abort();
}

void checkQuotedPrintable(const QByteArray &input)
{
    const QByteArray encoded = QuotedPrintable::encode(input);
    require(QuotedPrintable::encodedLength(input) == encoded.size());
    require(QuotedPrintable::decode(encoded) == QuotedPrintable::normalizedLines(input));
    require(encoded.isEmpty() || encoded.endsWith("\r\n"));
    qsizetype lineStart = 0;
    for (qsizetype i = 0; i < encoded.size(); ++i) {
        const char c = encoded[i];
        if (c == '\r') {
            require(i + 1 < encoded.size() && encoded[i + 1] == '\n');
            const qsizetype length = i - lineStart;
            require(length <= QuotedPrintable::MaxLineLength);
            if (length > 0) {
                const char last = encoded[i - 1];
                require(last != ' ' && last != '\t');
            }
            lineStart = i + 2;
            ++i;
            continue;
        }
        require((c >= 32 && c <= 126) || c == '\t');
        require(!(c == '.' && i == lineStart));
    }
}

void checkEncodedWords(const QByteArray &input, const QByteArray &charset)
{
    const QByteArray encoded = Rfc2047::encodeBytes(input, charset);
    require(Rfc2047::decodeBytes(encoded) == input);
    qsizetype wordStart = -1;
    for (qsizetype i = 0; i < encoded.size(); ++i) {
        const char c = encoded[i];
        if (c == '\r') {
            // Only a fold between two encoded-words.
            require(encoded.mid(i - 2, 7) == "?=\r\n =?");
            ++i;
            continue;
        }
        require((c >= 32 && c <= 126) || c == '\t');
        require(c != '"' && c != '\\');
        if (c == '=' && wordStart < 0 && i + 1 < encoded.size() && encoded[i + 1] == '?') {
            require(encoded.mid(i, charset.size() + 5) == "=?" + charset + "?B?");
            wordStart = i;
            i += charset.size() + 4;
        } else if (c == '?' && wordStart >= 0 && i + 1 < encoded.size() && encoded[i + 1] == '=') {
            require(i + 2 - wordStart <= Rfc2047::MaxEncodedWordLength);
            wordStart = -1;
            ++i;
        }
    }
    require(wordStart < 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    checkQuotedPrintable(input);
    checkEncodedWords(input, "UTF-8");
    checkEncodedWords(input, "windows-1251");
    return 0;
}
