// Reply body decoding: charset names looked up among the IANA character-set registry's
// names and aliases (through ICU's IANA standard names), bytes converted with ICU.
// Unregistered or missing charsets give one character per byte (ISO-8859-1 style).
#pragma once

#include <QByteArray>
#include <QString>

// True when `name` (any letter case) is itself an IANA name or alias of a converter.
// "utf8" and "cp1251" are not: they are only ICU's own aliases.
bool isRegisteredCharset(const QString &name);

// The body as text: "US-ASCII" maps bytes above 127 to "?", a registered charset with
// a conversion uses it (malformed input becomes U+FFFD), anything else maps each byte
// to the character with the same number. No byte-order mark is removed.
QString decodeBody(const QByteArray &body, const QString &charset);

// The charset of an XML entity by XML 1.0 Appendix F: a byte-order mark, else the
// encoding of the XML declaration, else "UTF-8".
QString detectXmlCharset(const QByteArray &body);
