// A client's cookie jar: the storage model of RFC 6265 (section 5), in memory only,
// guarded by a readers-writer lock. Secure cookies are stored but never sent, since
// the client never speaks https.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>
#include <optional>
#include <shared_mutex>
#include <vector>

struct Cookie {
    QString name;
    QString value;
    QString domain;
    bool hostOnly = true;
    QString path;
    QDateTime expiry;
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
    explicit CookieJar(Clock clock = {});

    // The values of every "Set-Cookie" header of one reply head, in the order received,
    // for a request to `host` with directory path `directoryPath` (ends in "/").
    void store(
        const QString &host, const QString &directoryPath, const QList<QByteArray> &setCookies);
    // The "Cookie" header value for a request; nothing when no cookie applies.
    std::optional<QString> cookieHeader(const QString &host, const QString &directoryPath);

    std::vector<Cookie> cookies() const; // a copy, for tests and diagnostics

private:
    Clock m_clock;
    mutable std::shared_mutex m_lock;
    std::vector<Cookie> m_cookies;
};

// Cookie dates of RFC 6265 section 5.1.1; nothing when the text is not a date.
std::optional<QDateTime> parseCookieDate(const QByteArray &text);
