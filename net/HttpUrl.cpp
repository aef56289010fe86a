#include "net/HttpUrl.h"

#include "diag/Exception.h"
#include "net/NetErrors.h"
#include "net/Socket.h"

#include <algorithm>

namespace
{

struct UrlParts {
    QString scheme;
    QString userInfo;
    QString host;
    QString port;
    QString path;
    QString document;
    QString query;
};

// Windows-style separators typed into the address field become "/" in the path part,
// never in the query or fragment.
QString normaliseSeparators(const QString &url)
{
    const qsizetype schemeEnd = url.indexOf(QLatin1String("://"));
    const qsizetype from = schemeEnd < 0 ? 0 : schemeEnd + 3;
    QString result = url;
    for (qsizetype i = from; i < result.size(); ++i) {
        const QChar c = result.at(i);
        if (c == u'?' || c == u'#')
            break;
        if (c == u'\\')
            result[i] = u'/';
    }
    return result;
}

void splitPathAndDocument(const QString &rest, UrlParts &parts)
{
    const qsizetype lastSlash = rest.lastIndexOf(u'/');
    parts.path = rest.left(lastSlash + 1);
    QString document = rest.mid(lastSlash + 1);
    const qsizetype hash = document.indexOf(u'#');
    if (hash >= 0)
        document.truncate(hash);
    parts.document = document;
}

UrlParts splitUrl(const QString &text)
{
    UrlParts parts;
    QString rest = normaliseSeparators(text);
    const qsizetype schemeEnd = rest.indexOf(QLatin1String("://"));
    if (schemeEnd >= 0) {
        parts.scheme = rest.left(schemeEnd);
        rest = rest.mid(schemeEnd + 3);
    }
    const qsizetype question = rest.indexOf(u'?');
    if (question >= 0) {
        parts.query = rest.mid(question + 1);
        rest.truncate(question);
    }
    if (schemeEnd >= 0) {
        const qsizetype slash = rest.indexOf(u'/');
        QString authority = slash < 0 ? rest : rest.left(slash);
        rest = slash < 0 ? QString() : rest.mid(slash + 1);
        const qsizetype at = authority.lastIndexOf(u'@');
        if (at >= 0) {
            parts.userInfo = authority.left(at);
            authority = authority.mid(at + 1);
        }
        // An IPv6 literal keeps its colons inside the brackets.
        const qsizetype bracket = authority.startsWith(u'[') ? authority.indexOf(u']') : -1;
        const qsizetype colon = authority.indexOf(u':', bracket < 0 ? 0 : bracket);
        if (colon >= 0) {
            parts.host = authority.left(colon);
            parts.port = authority.mid(colon + 1);
        } else {
            parts.host = authority;
        }
        splitPathAndDocument(rest, parts);
        parts.path.prepend(u'/');
    } else {
        splitPathAndDocument(rest, parts);
    }
    return parts;
}

bool sameText(const QString &a, const char *b)
{
    return a.compare(QLatin1String(b), Qt::CaseInsensitive) == 0;
}

} // namespace

void resolveUrl(HttpTarget &target, const QString &url)
{
    const UrlParts parts = splitUrl(url);
    if (parts.path.startsWith(u'/'))
        target.path = parts.path;
    else
        target.path += parts.path;
    target.document = parts.document;
    target.query = parts.query;
    if (!parts.host.isEmpty()) {
        target.host = parts.host;
        target.userInfo = parts.userInfo;
    }
    if (!parts.scheme.isEmpty())
        target.scheme = parts.scheme;
    else
        target.scheme
            = sameText(target.scheme, "https") ? QStringLiteral("https") : QStringLiteral("http");
    if (!parts.port.isEmpty())
        target.port = parts.port;
    else if (sameText(parts.scheme, "http"))
        target.port = QStringLiteral("80");
    else if (sameText(parts.scheme, "https"))
        target.port = QStringLiteral("443");
    if (target.port.isEmpty())
        throw TransportError(QStringLiteral("Unknown Protocol"));
}

bool usesTls(const HttpTarget &target)
{
    return sameText(target.scheme, "https");
}

void checkUrlCharacters(const QString &url)
{
    for (const QChar c : url) {
        if (c.unicode() <= 32 || c.unicode() == 127)
            throw TransportError(QStringLiteral("Invalid character in the URL."));
    }
}

QString requestTarget(const HttpTarget &target)
{
    QString result = target.path + target.document;
    if (!target.query.isEmpty())
        result += u'?' + target.query;
    return result;
}

QString hostHeaderValue(const HttpTarget &target)
{
    const bool defaultPort = (sameText(target.scheme, "http") && target.port == u"80")
        || (sameText(target.scheme, "https") && target.port == u"443");
    return defaultPort ? target.host : target.host + u':' + target.port;
}

quint16 connectPort(const HttpTarget &target)
{
    bool ok = false;
    const qulonglong port = target.port.toULongLong(&ok, 10);
    // Too many digits for any number is as much past the last port as 65536.
    const bool digits = !target.port.isEmpty()
        && std::all_of(target.port.cbegin(), target.port.cend(),
            [](QChar c) { return c >= u'0' && c <= u'9'; });
    if ((ok && port > 65535) || (!ok && digits))
        throw SocketError(Socket::AddressNotAvailable);
    return ok ? quint16(port) : quint16(80);
}
