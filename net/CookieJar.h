// A client's cookie jar: the storage model of RFC 6265 (section 5), in memory only,
// guarded by a readers-writer lock, with the size limits of RFC 6265 section 6.1.
// Secure cookies are stored from any reply but sent over https only.
// Expires dates are read as RFC 6265 section 5.1.1 says.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <vector>

// Header bytes are held one character per byte (Latin-1), so any byte a server sends
// in a name or value goes back out unchanged.
struct Cookie {
    QString name;
    QString value;
    QString domain;
    bool hostOnly = true;
    QString path;
    QDateTime expiry; // meaningful only when persistent
    bool persistent = false;
    bool secure = false;
    bool httpOnly = false;
    QDateTime creation;
    QDateTime lastAccess;
};

class CookieJar
{
public:
    using Clock = std::function<QDateTime()>;
    // Max-Age and integer Expires are clamped to this lifetime so the expiry stays
    // representable; about ten thousand years, i.e. for as long as the client lives.
    static constexpr qint64 kMaxLifetimeSeconds = 315'576'000'000;
    // Without these a service could grow the jar, and the Cookie header of every post,
    // without bound. A cookie whose name and value together are longer is ignored.
    static constexpr qsizetype kMaxCookieBytes = 4096;
    // Beyond these counts expired cookies go first, then the least recently set or sent.
    // Cookies count towards the domain they are stored under (the request host for a
    // host-only cookie).
    static constexpr qsizetype kMaxCookiesPerDomain = 50;
    static constexpr qsizetype kMaxCookies = 3000;

    explicit CookieJar(Clock clock = {});
    // With lower counts, so that a fuzzer reaches them with little input.
    CookieJar(Clock clock, qsizetype maxCookiesPerDomain, qsizetype maxCookies);

    // The values of every "Set-Cookie" header of one reply head, in the order received,
    // for a request to `host` with directory path `directoryPath` (ends in "/").
    void store(
        const QString &host, const QString &directoryPath, const QList<QByteArray> &setCookies);
    // The "Cookie" header value for a request; nothing when no cookie applies. Secure
    // cookies apply only to a request over https (`secure`).
    std::optional<QString> cookieHeader(
        const QString &host, const QString &directoryPath, bool secure = false);

    // A copy in storing order, for tests and diagnostics.
    std::vector<Cookie> cookies() const;

private:
    // Name, domain and path case-folded: a stored cookie's identity.
    struct Key {
        QString name;
        QString domain;
        QString path;
        friend bool operator==(const Key &, const Key &) = default;
        friend size_t qHash(const Key &key, size_t seed = 0)
        {
            return qHashMulti(seed, key.name, key.domain, key.path);
        }
    };
    struct Entry {
        Cookie cookie;
        Key key;
        // Stamped from m_useCount whenever the cookie is set or sent: the smallest is
        // the least recently used. A counter rather than the clock, so that cookies set
        // within one instant (one reply) still have an order.
        quint64 lastUse = 0;
    };
    using Entries = std::list<Entry>;

    // True when a cookie new to the jar was stored (not a replacement).
    bool storeOne(const QString &host, const QString &directoryPath, const QByteArray &setCookie,
        const QDateTime &now);
    // The callers below hold m_lock exclusively.
    Entries::iterator erase(Entries::iterator entry);
    void purgeExpired(const QDateTime &now);
    void enforceLimits(const QDateTime &now, const QList<QString> &grownDomains);

    Clock m_clock;
    const qsizetype m_maxCookiesPerDomain;
    const qsizetype m_maxCookies;
    mutable std::shared_mutex m_lock;
    // Readers share m_lock while they build a header, yet each stamps the last use of
    // what it sends; those stamps alone are serialised by this mutex.
    mutable std::mutex m_accessLock;
    // Kept in the order cookies were first stored: a replacement takes its namesake's
    // place, so equal creation times still sort in storing order.
    Entries m_cookies;
    QHash<Key, Entries::iterator> m_index; // every entry of m_cookies by its key
    QHash<QString, qsizetype> m_perDomain; // entries by case-folded domain
    quint64 m_useCount = 0;
};

// Cookie dates of RFC 6265 section 5.1.1 (UTC); nothing when the text is not a date.
std::optional<QDateTime> parseCookieDate(const QByteArray &text);

// True when `host` is an IPv4 or IPv6 address literal rather than a host name.
bool isIpAddress(const QString &host);
// RFC 6265 domain-match: equal without letter case, or a host name ending in "." + domain.
bool domainMatches(const QString &host, const QString &domain);
// Path-match of a request directory path against a cookie path (without letter case).
bool pathMatches(const QString &requestPath, const QString &cookiePath);
