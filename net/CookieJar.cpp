#include "net/CookieJar.h"

#include <QDate>
#include <QTime>

#include <algorithm>
#include <array>

namespace
{

// A value that begins with a double quote runs to the next one; the quotes are dropped.
// Without a closing quote the rest of the value is taken.
QByteArray unquoted(const QByteArray &value)
{
    if (!value.startsWith('"'))
        return value;
    const qsizetype end = value.indexOf('"', 1);
    return end < 0 ? value.mid(1) : value.mid(1, end - 1);
}

bool hasControlByte(const QByteArray &text)
{
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && byte != '\t') || byte == 0x7F;
    });
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// "-"? DIGIT+, saturated to the lifetime cap so huge texts neither overflow nor wrap.
std::optional<qint64> parseSeconds(const QByteArray &text)
{
    qsizetype i = 0;
    const bool negative = text.startsWith('-');
    if (negative)
        i = 1;
    if (i == text.size())
        return std::nullopt;
    qint64 seconds = 0;
    for (; i < text.size(); ++i) {
        if (!isDigit(text[i]))
            return std::nullopt;
        if (seconds <= CookieJar::kMaxLifetimeSeconds)
            seconds = seconds * 10 + (text[i] - '0');
    }
    seconds = std::min(seconds, CookieJar::kMaxLifetimeSeconds);
    return negative ? -seconds : seconds;
}

bool isExpired(const Cookie &cookie, const QDateTime &now)
{
    return cookie.persistent && cookie.expiry <= now;
}

QString defaultPath(const QString &directoryPath)
{
    if (!directoryPath.startsWith(u'/'))
        return QStringLiteral("/");
    const qsizetype lastSlash = directoryPath.lastIndexOf(u'/');
    return lastSlash <= 0 ? QStringLiteral("/") : directoryPath.left(lastSlash);
}

QString requestPath(const QString &directoryPath)
{
    return directoryPath.isEmpty() ? QStringLiteral("/") : directoryPath;
}

// --- cookie dates ------------------------------------------------------------------

bool isDateDelimiter(unsigned char c)
{
    return c == 0x09 || (c >= 0x20 && c <= 0x2F) || (c >= 0x3B && c <= 0x40)
        || (c >= 0x5B && c <= 0x60) || (c >= 0x7B && c <= 0x7E);
}

// Reads minDigits..maxDigits digits at `pos`; they must not be followed by another digit.
std::optional<int> readNumber(const QByteArray &token, qsizetype &pos, int minDigits, int maxDigits)
{
    int value = 0;
    int digits = 0;
    while (pos < token.size() && isDigit(token[pos]) && digits < maxDigits) {
        value = value * 10 + (token[pos] - '0');
        ++pos;
        ++digits;
    }
    if (digits < minDigits || (pos < token.size() && isDigit(token[pos])))
        return std::nullopt;
    return value;
}

// time = 1*2DIGIT ":" 1*2DIGIT ":" 1*2DIGIT [ non-digit *OCTET ]
bool readTime(const QByteArray &token, int &hour, int &minute, int &second)
{
    qsizetype pos = 0;
    std::array<int, 3> fields{};
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (pos >= token.size() || token[pos] != ':')
                return false;
            ++pos;
        }
        const auto field = readNumber(token, pos, 1, 2);
        if (!field)
            return false;
        fields[i] = *field;
    }
    hour = fields[0];
    minute = fields[1];
    second = fields[2];
    return true;
}

bool readLeadingNumber(const QByteArray &token, int minDigits, int maxDigits, int &value)
{
    qsizetype pos = 0;
    const auto number = readNumber(token, pos, minDigits, maxDigits);
    if (!number)
        return false;
    value = *number;
    return true;
}

bool readMonth(const QByteArray &token, int &month)
{
    static const std::array<const char *, 12> names
        = {"jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
    if (token.size() < 3)
        return false;
    const QByteArray prefix = token.left(3).toLower();
    for (int i = 0; i < 12; ++i) {
        if (prefix == names[i]) {
            month = i + 1;
            return true;
        }
    }
    return false;
}

} // namespace

std::optional<QDateTime> parseCookieDate(const QByteArray &text)
{
    bool foundTime = false, foundDay = false, foundMonth = false, foundYear = false;
    int hour = 0, minute = 0, second = 0, day = 0, month = 0, year = 0;

    qsizetype pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && isDateDelimiter(static_cast<unsigned char>(text[pos])))
            ++pos;
        const qsizetype start = pos;
        while (pos < text.size() && !isDateDelimiter(static_cast<unsigned char>(text[pos])))
            ++pos;
        if (pos == start)
            break;
        const QByteArray token = text.mid(start, pos - start);
        // The first reading that fits takes the token, in this order.
        if (!foundTime && readTime(token, hour, minute, second))
            foundTime = true;
        else if (!foundDay && readLeadingNumber(token, 1, 2, day))
            foundDay = true;
        else if (!foundMonth && readMonth(token, month))
            foundMonth = true;
        else if (!foundYear && readLeadingNumber(token, 2, 4, year))
            foundYear = true;
    }

    if (!foundTime || !foundDay || !foundMonth || !foundYear)
        return std::nullopt;
    if (year >= 70 && year <= 99)
        year += 1900;
    else if (year >= 0 && year <= 69)
        year += 2000;
    if (day < 1 || day > 31 || year < 1601 || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    const QDate date(year, month, day);
    if (!date.isValid()) // 31 April, 29 February outside a leap year
        return std::nullopt;
    return QDateTime(date, QTime(hour, minute, second), Qt::UTC);
}

// --- matching ----------------------------------------------------------------------

bool isIpAddress(const QString &host)
{
    if (host.contains(u':')) // IPv6, bracketed or not
        return true;
    // As URL parsers decide: a name whose last label is a number is an IPv4 address
    // (also the short and hexadecimal forms a resolver accepts).
    QString name = host;
    if (name.endsWith(u'.'))
        name.chop(1);
    const QString last = name.mid(name.lastIndexOf(u'.') + 1);
    if (last.isEmpty())
        return false;
    if (last.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        return std::all_of(last.begin() + 2, last.end(),
            [](QChar c) { return c.isDigit() || (c.toLower() >= u'a' && c.toLower() <= u'f'); });
    }
    return std::all_of(last.begin(), last.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

bool domainMatches(const QString &host, const QString &domain)
{
    if (host.compare(domain, Qt::CaseInsensitive) == 0)
        return true;
    if (domain.isEmpty() || isIpAddress(host))
        return false;
    return host.size() > domain.size() && host.endsWith(domain, Qt::CaseInsensitive)
        && host[host.size() - domain.size() - 1] == u'.';
}

bool pathMatches(const QString &requestPath, const QString &cookiePath)
{
    if (!requestPath.startsWith(cookiePath, Qt::CaseInsensitive))
        return false;
    return requestPath.size() == cookiePath.size() || cookiePath.endsWith(u'/')
        || requestPath[cookiePath.size()] == u'/';
}

// --- the jar -----------------------------------------------------------------------

CookieJar::CookieJar(Clock clock)
    : CookieJar(std::move(clock), kMaxCookiesPerDomain, kMaxCookies)
{
}

CookieJar::CookieJar(Clock clock, qsizetype maxCookiesPerDomain, qsizetype maxCookies)
    : m_clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentDateTimeUtc(); }))
    , m_maxCookiesPerDomain(maxCookiesPerDomain)
    , m_maxCookies(maxCookies)
{
}

void CookieJar::store(
    const QString &host, const QString &directoryPath, const QList<QByteArray> &setCookies)
{
    if (setCookies.isEmpty())
        return;
    const QDateTime now = m_clock();
    std::unique_lock lock(m_lock);
    QList<QString> grownDomains;
    for (const QByteArray &setCookie : setCookies) {
        if (!storeOne(host, requestPath(directoryPath), setCookie, now))
            continue;
        const QString &domain = m_cookies.back().key.domain;
        if (!grownDomains.contains(domain))
            grownDomains.append(domain);
    }
    // Once per reply rather than per cookie, so a reply of many cookies into a full jar
    // costs one pass over the jar.
    if (!grownDomains.isEmpty())
        enforceLimits(now, grownDomains);
}

bool CookieJar::storeOne(const QString &host, const QString &directoryPath,
    const QByteArray &setCookie, const QDateTime &now)
{
    const qsizetype firstSemicolon = setCookie.indexOf(';');
    const QByteArray pair = firstSemicolon < 0 ? setCookie : setCookie.left(firstSemicolon);
    const qsizetype equals = pair.indexOf('=');
    if (equals < 0)
        return false;
    const QByteArray name = pair.left(equals).trimmed();
    if (name.isEmpty())
        return false;
    const QByteArray value = unquoted(pair.mid(equals + 1).trimmed());
    // A control byte (a bare CR above all) would travel into our request head.
    if (hasControlByte(name) || hasControlByte(value))
        return false;
    // Ignored whole: an oversized cookie does not remove its stored namesake either.
    if (name.size() + value.size() > kMaxCookieBytes)
        return false;

    // The last usable occurrence of each attribute counts.
    std::optional<qint64> maxAge;
    std::optional<qint64> expiresSeconds;
    std::optional<QDateTime> expiresDate;
    std::optional<QString> domain;
    std::optional<QByteArray> path;
    bool secure = false;
    bool httpOnly = false;
    if (firstSemicolon >= 0) {
        const QList<QByteArray> attributes = setCookie.mid(firstSemicolon + 1).split(';');
        for (const QByteArray &attribute : attributes) {
            const qsizetype eq = attribute.indexOf('=');
            const QByteArray attrName = (eq < 0 ? attribute : attribute.left(eq)).trimmed();
            const QByteArray attrValue
                = eq < 0 ? QByteArray() : unquoted(attribute.mid(eq + 1).trimmed());
            const auto is = [&attrName](const char *known) {
                return attrName.compare(known, Qt::CaseInsensitive) == 0;
            };
            if (is("Max-Age")) {
                if (const auto seconds = parseSeconds(attrValue))
                    maxAge = seconds;
            } else if (is("Expires")) {
                if (const auto seconds = parseSeconds(attrValue)) {
                    expiresSeconds = seconds;
                    expiresDate.reset();
                } else if (const auto date = parseCookieDate(attrValue)) {
                    expiresDate = date;
                    expiresSeconds.reset();
                }
            } else if (is("Domain")) {
                if (!attrValue.isEmpty()) {
                    QString d = QString::fromLatin1(attrValue);
                    if (d.startsWith(u'.'))
                        d.remove(0, 1);
                    domain = d.toLower();
                }
            } else if (is("Path")) {
                path = attrValue;
            } else if (is("Secure")) {
                secure = true;
            } else if (is("HttpOnly")) {
                httpOnly = true;
            }
        }
    }

    Cookie cookie;
    cookie.name = QString::fromLatin1(name);
    cookie.value = QString::fromLatin1(value);
    cookie.secure = secure;
    cookie.httpOnly = httpOnly;
    cookie.creation = now;
    cookie.lastAccess = now;

    bool expired = false;
    const std::optional<qint64> seconds = maxAge ? maxAge : expiresSeconds;
    if (seconds) {
        cookie.persistent = true;
        expired = *seconds <= 0;
        cookie.expiry = expired ? now : now.addSecs(*seconds);
    } else if (expiresDate) {
        cookie.persistent = true;
        cookie.expiry = *expiresDate;
        expired = cookie.expiry <= now;
    }

    if (domain) {
        if (!domainMatches(host, *domain))
            return false;
        cookie.domain = *domain;
        cookie.hostOnly = false;
    } else {
        cookie.domain = host.toLower();
        cookie.hostOnly = true;
    }

    if (path && path->startsWith('/'))
        cookie.path = QString::fromLatin1(*path);
    else
        cookie.path = defaultPath(directoryPath);

    // Name, domain and path are compared without letter case.
    Key key{cookie.name.toCaseFolded(), cookie.domain.toCaseFolded(), cookie.path.toCaseFolded()};
    if (const auto namesake = m_index.constFind(key); namesake != m_index.cend()) {
        const Entries::iterator entry = *namesake;
        if (expired) {
            erase(entry);
        } else {
            cookie.creation = entry->cookie.creation;
            entry->cookie = std::move(cookie);
            entry->lastUse = ++m_useCount;
        }
        return false;
    }
    if (expired)
        return false;
    ++m_perDomain[key.domain];
    m_cookies.push_back(Entry{std::move(cookie), key, ++m_useCount});
    m_index.insert(std::move(key), std::prev(m_cookies.end()));
    return true;
}

CookieJar::Entries::iterator CookieJar::erase(Entries::iterator entry)
{
    m_index.remove(entry->key);
    if (const auto count = m_perDomain.find(entry->key.domain); --*count == 0)
        m_perDomain.erase(count);
    return m_cookies.erase(entry);
}

void CookieJar::purgeExpired(const QDateTime &now)
{
    for (auto entry = m_cookies.begin(); entry != m_cookies.end();)
        entry = isExpired(entry->cookie, now) ? erase(entry) : std::next(entry);
}

void CookieJar::enforceLimits(const QDateTime &now, const QList<QString> &grownDomains)
{
    // Drops the least recently used entries until `keep` are left.
    const auto keepMostRecent = [this](std::vector<Entries::iterator> &entries, qsizetype keep) {
        const qsizetype excess = qsizetype(entries.size()) - keep;
        if (excess <= 0)
            return;
        std::nth_element(entries.begin(), entries.begin() + excess, entries.end(),
            [](Entries::iterator a, Entries::iterator b) { return a->lastUse < b->lastUse; });
        for (qsizetype i = 0; i < excess; ++i)
            erase(entries[i]);
    };

    // Only a domain that gained cookies can have gone over its limit; one reply reaches
    // a few domains at most (the host and its parents), so a plain search finds them.
    QList<QString> overDomains;
    for (const QString &domain : grownDomains) {
        if (m_perDomain.value(domain) > m_maxCookiesPerDomain)
            overDomains.append(domain);
    }
    std::vector<std::vector<Entries::iterator>> groups(overDomains.size());
    if (!overDomains.isEmpty()) {
        for (auto entry = m_cookies.begin(); entry != m_cookies.end(); ++entry) {
            if (const qsizetype i = overDomains.indexOf(entry->key.domain); i >= 0)
                groups[i].push_back(entry);
        }
    }
    for (std::vector<Entries::iterator> &group : groups) {
        std::erase_if(group, [this, &now](Entries::iterator entry) {
            if (!isExpired(entry->cookie, now))
                return false;
            erase(entry);
            return true;
        });
        keepMostRecent(group, m_maxCookiesPerDomain);
    }

    if (qsizetype(m_cookies.size()) <= m_maxCookies)
        return;
    purgeExpired(now);
    if (qsizetype(m_cookies.size()) <= m_maxCookies)
        return;
    std::vector<Entries::iterator> all;
    all.reserve(m_cookies.size());
    for (auto entry = m_cookies.begin(); entry != m_cookies.end(); ++entry)
        all.push_back(entry);
    keepMostRecent(all, m_maxCookies);
}

std::optional<QString> CookieJar::cookieHeader(
    const QString &host, const QString &directoryPath, bool secure)
{
    const QDateTime now = m_clock();
    const QString path = requestPath(directoryPath);

    bool anyExpired = false;
    {
        std::shared_lock reading(m_lock);
        anyExpired = std::any_of(m_cookies.begin(), m_cookies.end(),
            [&now](const Entry &entry) { return isExpired(entry.cookie, now); });
    }
    if (anyExpired) {
        std::unique_lock writing(m_lock);
        purgeExpired(now);
    }

    std::shared_lock reading(m_lock);
    std::vector<Entry *> applying;
    for (Entry &entry : m_cookies) {
        const Cookie &cookie = entry.cookie;
        if ((cookie.secure && !secure) || isExpired(cookie, now))
            continue;
        const bool hostMatches = cookie.hostOnly
            ? host.compare(cookie.domain, Qt::CaseInsensitive) == 0
            : domainMatches(host, cookie.domain);
        if (hostMatches && pathMatches(path, cookie.path))
            applying.push_back(&entry);
    }
    if (applying.empty())
        return std::nullopt;

    // Stable: cookies of equal path length and creation time keep their storing order.
    std::stable_sort(applying.begin(), applying.end(), [](const Entry *a, const Entry *b) {
        if (a->cookie.path.size() != b->cookie.path.size())
            return a->cookie.path.size() > b->cookie.path.size();
        return a->cookie.creation < b->cookie.creation;
    });

    QString header;
    {
        std::lock_guard stamping(m_accessLock);
        for (Entry *entry : applying) {
            entry->cookie.lastAccess = now;
            entry->lastUse = ++m_useCount;
            if (!header.isEmpty())
                header += QLatin1String("; ");
            header += entry->cookie.name + u'=' + entry->cookie.value;
        }
    }
    return header;
}

std::vector<Cookie> CookieJar::cookies() const
{
    std::shared_lock reading(m_lock);
    std::lock_guard stamping(m_accessLock);
    std::vector<Cookie> copy;
    copy.reserve(m_cookies.size());
    for (const Entry &entry : m_cookies)
        copy.push_back(entry.cookie);
    return copy;
}
