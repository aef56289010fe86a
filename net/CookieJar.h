// A client's cookie jar: the storage model of RFC 6265 (section 5), in memory only,
// guarded by a readers-writer lock. Secure cookies are stored but never sent, since
// the client never speaks https. Expires dates are read as RFC 6265 section 5.1.1 says.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>
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

    explicit CookieJar(Clock clock = {});

    // The values of every "Set-Cookie" header of one reply head, in the order received,
    // for a request to `host` with directory path `directoryPath` (ends in "/").
    void store(
        const QString &host, const QString &directoryPath, const QList<QByteArray> &setCookies);
    // The "Cookie" header value for a request; nothing when no cookie applies.
    std::optional<QString> cookieHeader(const QString &host, const QString &directoryPath);

    std::vector<Cookie> cookies() const; // a copy, for tests and diagnostics

private:
    void storeOne(const QString &host, const QString &directoryPath, const QByteArray &setCookie,
        const QDateTime &now);
    bool purgeExpired(const QDateTime &now); // caller holds m_lock exclusively

    Clock m_clock;
    mutable std::shared_mutex m_lock;
    // Readers share m_lock while they build a header, yet each stamps the last-access
    // time of what it sends; those stamps alone are serialised by this mutex.
    mutable std::mutex m_accessLock;
    // Kept in the order cookies were first stored: a replacement takes its namesake's
    // place, so equal creation times still sort in storing order.
    std::vector<Cookie> m_cookies;
};

// Cookie dates of RFC 6265 section 5.1.1 (UTC); nothing when the text is not a date.
std::optional<QDateTime> parseCookieDate(const QByteArray &text);

// True when `host` is an IPv4 or IPv6 address literal rather than a host name.
bool isIpAddress(const QString &host);
// RFC 6265 domain-match: equal without letter case, or a host name ending in "." + domain.
bool domainMatches(const QString &host, const QString &domain);
// Path-match of a request directory path against a cookie path (without letter case).
bool pathMatches(const QString &requestPath, const QString &cookiePath);
