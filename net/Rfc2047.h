// Field and file names in part headers as RFC 2047 encoded-words ("B" encoding):
// runs of words that need encoding are written as =?charset?B?base64?=, folded with
// CR LF and a space before an encoded-word would pass 75 characters.
#pragma once

#include <QByteArray>
#include <QString>

namespace Rfc2047
{

// No encoded-word is longer than this, its "=?", charset, "?B?" and "?=" counted.
constexpr int MaxEncodedWordLength = 75;

// Text in the charset's bytes ("?" for what it lacks), then encodeBytes().
QByteArray encode(const QString &text, const QByteArray &charset);
// Words are cut at runs of space and tab. A word needs encoding when it holds a byte
// outside 32..126, or a double quote or backslash (the result goes between the double
// quotes of a parameter as it stands); CR and LF are no word breaks but bytes that
// need encoding, so they can never start a header line of their own. "=" needs
// encoding once the bytes hold "=?", which a decoder could take for the start of an
// encoded-word; so a raw "=?" never reaches the output.
QByteArray encodeBytes(const QByteArray &bytes, const QByteArray &charset);

// The bytes back: every well-formed "B" or "Q" encoded-word decoded, white space between
// two encoded-words dropped, the rest copied. *charset gets the last charset seen.
QByteArray decodeBytes(const QByteArray &header, QByteArray *charset = nullptr);
// decodeBytes(), read in the charset of the encoded-words.
QString decode(const QByteArray &header);

} // namespace Rfc2047
