// Quoted-printable content transfer encoding after RFC 2045 section 6.7, as the
// service reads it: soft line breaks once an output line reaches 70 characters,
// a leading "." written as =2E, every source line break sent as CR LF.
#pragma once

#include <QByteArray>

namespace QuotedPrintable
{

// A soft line break follows the byte whose text brings the line to this count.
constexpr int SoftBreakAt = 70;
// The longest output line that can result: 69 characters, "=XX", and the soft break "=".
constexpr int MaxLineLength = SoftBreakAt - 1 + 3 + 1;

// Source lines end at CR LF, a lone CR or a lone LF; every line, the last included,
// is written with a closing CR LF, and a break at the very end adds no empty line.
QByteArray encode(const QByteArray &bytes);
// The size of encode(bytes), counted without building the text.
qint64 encodedLength(const QByteArray &bytes);

// The bytes back from quoted-printable text: soft breaks vanish, "=XX" becomes its
// byte, a hard CR LF stays CR LF. A "=" not followed by two hex digits is kept as is.
QByteArray decode(const QByteArray &text);

// What decode(encode(bytes)) gives: the source lines, each closed by CR LF.
QByteArray normalizedLines(const QByteArray &bytes);

} // namespace QuotedPrintable
