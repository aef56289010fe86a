#include "net/Charsets.h"

#include <unicode/ucnv.h>
#include <unicode/uenum.h>

#include <memory>

namespace
{

struct ConverterCloser {
    void operator()(UConverter *converter) const { ucnv_close(converter); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterCloser>;

struct EnumerationCloser {
    void operator()(UEnumeration *enumeration) const { uenum_close(enumeration); }
};

// The converter for a registered name; null when the name is unknown to ICU or only
// one of ICU's own aliases.
ConverterPtr openRegistered(const QString &name)
{
    if (name.isEmpty() || name.size() > 100)
        return {};
    for (QChar c : name) {
        // ICU reads "," and "@" in a name as converter options; no IANA name has them.
        if (c.unicode() <= 32 || c.unicode() > 126 || c == u',' || c == u'@')
            return {};
    }
    const QByteArray latin = name.toLatin1();
    UErrorCode status = U_ZERO_ERROR;
    ConverterPtr converter(ucnv_open(latin.constData(), &status));
    if (U_FAILURE(status) || !converter)
        return {};
    status = U_ZERO_ERROR;
    const char *canonical = ucnv_getName(converter.get(), &status);
    if (U_FAILURE(status))
        return {};
    status = U_ZERO_ERROR;
    std::unique_ptr<UEnumeration, EnumerationCloser> names(
        ucnv_openStandardNames(canonical, "IANA", &status));
    if (U_FAILURE(status) || !names)
        return {};
    while (true) {
        status = U_ZERO_ERROR;
        const char *ianaName = uenum_next(names.get(), nullptr, &status);
        if (U_FAILURE(status) || !ianaName)
            return {};
        if (QString::fromLatin1(ianaName).compare(name, Qt::CaseInsensitive) == 0)
            return converter;
    }
}

QString oneCharPerByte(const QByteArray &body)
{
    return QString::fromLatin1(body);
}

QString convert(UConverter *converter, const QByteArray &body)
{
    QString text;
    const char *source = body.constData();
    const char *sourceEnd = source + body.size();
    constexpr qsizetype Step = 32768;
    while (true) {
        const qsizetype used = text.size();
        text.resize(used + Step);
        UChar *target = reinterpret_cast<UChar *>(text.data()) + used;
        UChar *targetStart = target;
        UErrorCode status = U_ZERO_ERROR;
        ucnv_toUnicode(
            converter, &target, targetStart + Step, &source, sourceEnd, nullptr, true, &status);
        text.resize(used + (target - targetStart));
        if (status == U_BUFFER_OVERFLOW_ERROR)
            continue;
        if (U_FAILURE(status))
            return oneCharPerByte(body);
        return text;
    }
}

} // namespace

bool isRegisteredCharset(const QString &name)
{
    return openRegistered(name) != nullptr;
}

QString decodeBody(const QByteArray &body, const QString &charset)
{
    ConverterPtr converter = openRegistered(charset.trimmed());
    if (!converter)
        return oneCharPerByte(body);
    UErrorCode status = U_ZERO_ERROR;
    if (qstrcmp(ucnv_getName(converter.get(), &status), "US-ASCII") == 0) {
        QString text(body.size(), Qt::Uninitialized);
        QChar *out = text.data();
        for (char byte : body)
            *out++ = QChar(uchar(byte) > 127 ? u'?' : char16_t(uchar(byte)));
        return text;
    }
    // ICU's UTF-16 and UTF-32 converters take a leading byte-order mark as a signal and
    // drop it, but the reply text keeps it: the fixed-order converter that the mark (or,
    // without one, big-endian order) selects reads the body instead.
    const char *name = ucnv_getName(converter.get(), &status);
    const char *fixedOrder = nullptr;
    if (qstrcmp(name, "UTF-16") == 0)
        fixedOrder = body.startsWith("\xFF\xFE") ? "UTF-16LE" : "UTF-16BE";
    else if (qstrcmp(name, "UTF-32") == 0)
        fixedOrder = body.startsWith(QByteArrayView("\xFF\xFE\0\0", 4)) ? "UTF-32LE" : "UTF-32BE";
    if (fixedOrder) {
        status = U_ZERO_ERROR;
        ConverterPtr ordered(ucnv_open(fixedOrder, &status));
        if (U_SUCCESS(status) && ordered)
            converter = std::move(ordered);
    }
    return convert(converter.get(), body);
}

QString detectXmlCharset(const QByteArray &body)
{
    auto startsWith = [&body](std::initializer_list<unsigned char> bytes) {
        if (body.size() < qsizetype(bytes.size()))
            return false;
        qsizetype i = 0;
        for (unsigned char b : bytes)
            if (uchar(body.at(i++)) != b)
                return false;
        return true;
    };
    if (startsWith({0x00, 0x00, 0xFE, 0xFF}))
        return QStringLiteral("UTF-32BE");
    if (startsWith({0xFF, 0xFE, 0x00, 0x00}))
        return QStringLiteral("UTF-32LE");
    if (startsWith({0xEF, 0xBB, 0xBF}))
        return QStringLiteral("UTF-8");
    if (startsWith({0xFE, 0xFF}))
        return QStringLiteral("UTF-16BE");
    if (startsWith({0xFF, 0xFE}))
        return QStringLiteral("UTF-16LE");
    // Without a mark, the first characters "<?" tell the encoding family.
    if (startsWith({0x00, 0x00, 0x00, 0x3C}))
        return QStringLiteral("UTF-32BE");
    if (startsWith({0x3C, 0x00, 0x00, 0x00}))
        return QStringLiteral("UTF-32LE");
    if (startsWith({0x00, 0x3C, 0x00, 0x3F}))
        return QStringLiteral("UTF-16BE");
    if (startsWith({0x3C, 0x00, 0x3F, 0x00}))
        return QStringLiteral("UTF-16LE");
    if (startsWith({0x3C, 0x3F, 0x78, 0x6D, 0x6C})) { // "<?xml"
        const qsizetype close = body.indexOf("?>");
        const QByteArray declaration = body.left(close < 0 ? 1024 : close);
        qsizetype at = declaration.indexOf("encoding");
        auto skipSpace = [&] {
            while (
                at < declaration.size() && QByteArrayView(" \t\r\n").contains(declaration.at(at)))
                ++at;
        };
        if (at >= 0) {
            at += 8;
            skipSpace();
            if (at < declaration.size() && declaration.at(at) == '=') {
                ++at;
                skipSpace();
                if (at < declaration.size()
                    && (declaration.at(at) == '"' || declaration.at(at) == '\'')) {
                    const qsizetype endQuote = declaration.indexOf(declaration.at(at), at + 1);
                    if (endQuote > at)
                        return QString::fromLatin1(declaration.mid(at + 1, endQuote - at - 1));
                }
            }
        }
    }
    return QStringLiteral("UTF-8");
}
