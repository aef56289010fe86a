#include "net/PartHeaderCharset.h"

#include <unicode/ucnv.h>

#include <memory>

namespace
{

struct ConverterCloser {
    void operator()(UConverter *converter) const { ucnv_close(converter); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

Converter openConverter(const QByteArray &charset)
{
    UErrorCode status = U_ZERO_ERROR;
    Converter converter(ucnv_open(charset.constData(), &status));
    if (U_FAILURE(status) || !converter) {
        // The label of the Korean row is the registry's alias name, which not every
        // converter table lists.
        if (charset.compare("csEUCKR", Qt::CaseInsensitive) != 0)
            return {};
        status = U_ZERO_ERROR;
        converter.reset(ucnv_open("EUC-KR", &status));
        if (U_FAILURE(status))
            return {};
    }
    status = U_ZERO_ERROR;
    ucnv_setSubstChars(converter.get(), "?", 1, &status);
    return converter;
}

} // namespace

namespace HeaderCharset
{

QByteArray forLocale(const QLocale &locale)
{
    switch (locale.language()) {
    case QLocale::Russian: return "KOI8-R";
    case QLocale::Ukrainian: return "windows-1251";
    case QLocale::Japanese: return "ISO-2022-JP";
    case QLocale::Korean: return "csEUCKR";
    case QLocale::Chinese:
        return locale.script() == QLocale::SimplifiedHanScript ? QByteArray("GB2312")
                                                               : QByteArray("Big5");
    default: return "UTF-8";
    }
}

QByteArray forUserLocale()
{
    return forLocale(QLocale::system());
}

QByteArray fromUnicode(const QString &text, const QByteArray &charset, bool *ok)
{
    Converter converter = openConverter(charset);
    if (ok)
        *ok = bool(converter);
    if (!converter)
        converter = openConverter("UTF-8");
    if (text.isEmpty())
        return {};
    const int capacity
        = UCNV_GET_MAX_BYTES_FOR_STRING(text.size(), ucnv_getMaxCharSize(converter.get()));
    QByteArray out(capacity, Qt::Uninitialized);
    UErrorCode status = U_ZERO_ERROR;
    const int written = ucnv_fromUChars(converter.get(), out.data(), capacity,
        reinterpret_cast<const UChar *>(text.utf16()), int(text.size()), &status);
    if (U_FAILURE(status))
        return latin1OrQuestion(text);
    out.truncate(written);
    return out;
}

QString toUnicode(const QByteArray &bytes, const QByteArray &charset, bool *ok)
{
    Converter converter = openConverter(charset);
    if (ok)
        *ok = bool(converter);
    if (!converter)
        return QString::fromUtf8(bytes);
    if (bytes.isEmpty())
        return {};
    // At most one UTF-16 unit per byte, and two for a byte that starts a supplementary character.
    const int capacity = int(bytes.size()) * 2 + 2;
    QString out(capacity, Qt::Uninitialized);
    UErrorCode status = U_ZERO_ERROR;
    const int written = ucnv_toUChars(converter.get(), reinterpret_cast<UChar *>(out.data()),
        capacity, bytes.constData(), int(bytes.size()), &status);
    if (U_FAILURE(status))
        return QString::fromUtf8(bytes);
    out.truncate(written);
    return out;
}

QByteArray latin1OrQuestion(const QString &text)
{
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i; // one character, one "?"
        out.append(c.unicode() <= 0xFF ? char(c.unicode()) : '?');
    }
    return out;
}

} // namespace HeaderCharset
