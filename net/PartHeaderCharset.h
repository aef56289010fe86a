// The charset of encoded field and file names in part headers, chosen by the primary
// language of the user's locale, and text conversion to and from named charsets
// (IANA names, through ICU converters; a character the charset lacks becomes "?").
#pragma once

#include <QByteArray>
#include <QLocale>
#include <QString>

namespace HeaderCharset
{

// "KOI8-R" for Russian, "windows-1251" for Ukrainian, "ISO-2022-JP", "csEUCKR",
// "GB2312" (simplified Chinese), "Big5" (other Chinese), "UTF-8" for the rest.
QByteArray forLocale(const QLocale &locale);
// forLocale(QLocale::system()).
QByteArray forUserLocale();

// The text in the named charset, "?" for what it cannot hold. An unknown charset
// name gives UTF-8 and *ok = false.
QByteArray fromUnicode(const QString &text, const QByteArray &charset, bool *ok = nullptr);
// The bytes read in the named charset; an unknown name reads them as UTF-8.
QString toUnicode(const QByteArray &bytes, const QByteArray &charset, bool *ok = nullptr);

// One byte per character, "?" for a character above U+00FF.
QByteArray latin1OrQuestion(const QString &text);

} // namespace HeaderCharset
