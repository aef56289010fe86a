// Arbitrary Set-Cookie bytes and cookie dates through the jar and the date reader.
// Besides not crashing, what the jar sends must stay a plain header value: no CR, LF
// or NUL, and only cookies that were offered. A second jar, with lower counts, takes
// the input's lines over and over from many hosts, so that its limits are reached and
// enforced at every run; the first one meets the real limit per domain from 51 lines.
#include "net/CookieJar.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <tuple>

namespace
{

void checkHeader(const std::optional<QString> &header)
{
    if (header
        && (header->isEmpty() || header->contains(u'\r') || header->contains(u'\n')
            || header->contains(QChar(0))))
        std::abort();
}

// The limits hold, and no cookie is stored twice under one name, domain and path.
void checkLimits(const std::vector<Cookie> &cookies, qsizetype maxPerDomain, qsizetype maxCookies)
{
    if (qsizetype(cookies.size()) > maxCookies)
        std::abort();
    QHash<QString, qsizetype> perDomain;
    std::set<std::tuple<QString, QString, QString>> keys;
    for (const Cookie &cookie : cookies) {
        if (cookie.name.size() + cookie.value.size() > CookieJar::kMaxCookieBytes)
            std::abort();
        const QString domain = cookie.domain.toCaseFolded();
        if (++perDomain[domain] > maxPerDomain)
            std::abort();
        if (!keys.emplace(cookie.name.toCaseFolded(), domain, cookie.path.toCaseFolded()).second)
            std::abort();
    }
}

// Bytes 1 and 2 set the limits, the number of replies and the seconds between them;
// each reply carries every line of the input, its names prefixed with the reply's
// number (every seventh reply reuses the names of the first, to replace, not add).
void exerciseLimits(const uint8_t *data, size_t size)
{
    if (size < 3)
        return;
    const qsizetype maxPerDomain = 1 + data[1] % 8;
    const int replies = 1 + data[1] / 8 % 32;
    const qsizetype maxCookies = 1 + data[2] % 48;
    const qint64 step = data[2] / 48 % 4;
    const QList<QByteArray> lines
        = QByteArray(reinterpret_cast<const char *>(data) + 3, qsizetype(size - 3)).split('\n');
    constexpr qsizetype kMaxStores = 500; // ten times the largest count, and one run stays short

    qint64 seconds = 0;
    const QDateTime start(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC);
    CookieJar jar([&seconds, &start] { return start.addSecs(seconds); }, maxPerDomain, maxCookies);
    qsizetype stores = 0;
    for (int r = 0; r < replies && stores < kMaxStores; ++r) {
        // 8 hosts below two parents, so Domain cookies of a parent pile up from all.
        const QString host = QStringLiteral("h%1.%2example.org")
                                 .arg(r % 8)
                                 .arg(r % 5 ? QString() : QStringLiteral("a."));
        const QString directory = r % 2 ? QStringLiteral("/") : QStringLiteral("/a/b/");
        const QByteArray prefix = QByteArray::number(r % 7 ? r : 0);
        QList<QByteArray> reply;
        reply.reserve(lines.size());
        for (const QByteArray &line : lines)
            reply.append(prefix + line);
        jar.store(host, directory, reply);
        stores += reply.size();
        if (r % 3 == 0)
            checkHeader(jar.cookieHeader(host, directory));
        seconds += step;
    }
    const std::vector<Cookie> cookies = jar.cookies();
    checkLimits(cookies, maxPerDomain, maxCookies);

    // Setting a cookie again replaces it: none is added, so none is evicted. Quoted,
    // an attribute keeps the spaces at its ends that a quoted value may have brought.
    const auto attribute = [](const QString &value) {
        return value.contains(u'"') ? value.toLatin1() : '"' + value.toLatin1() + '"';
    };
    for (const Cookie &cookie : cookies) {
        // A Domain that began with two dots, or a dot and a quote, reads otherwise.
        if (cookie.domain.startsWith(u'.') || cookie.domain.startsWith(u'"'))
            continue;
        QByteArray line = cookie.name.toLatin1() + "=again; Path=" + attribute(cookie.path);
        if (!cookie.hostOnly)
            line += "; Domain=" + attribute(cookie.domain);
        jar.store(cookie.domain, QStringLiteral("/"), {line});
    }
    if (jar.cookies().size() != cookies.size())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

    // The whole input is a date text too.
    if (const auto date = parseCookieDate(input)) {
        if (!date->isValid() || date->date().year() < 1601)
            std::abort();
    }

    // Lines are Set-Cookie values; the first byte picks hosts and paths so that Domain
    // and Path rules meet both matching and non-matching requests.
    const QList<QByteArray> lines = input.split('\n');
    static const char *const hosts[]
        = {"home.example.org", "sub.home.example.org", "192.0.2.1", "[::1]", "ExAmPlE.org", ""};
    static const char *const paths[] = {"/", "/a/b/", "/A/", "", "/a/b/c/"};
    const unsigned char pick = size > 0 ? data[0] : 0;
    const QString setHost = QString::fromLatin1(hosts[pick % 6]);
    const QString setPath = QString::fromLatin1(paths[(pick / 6) % 5]);
    const QString sendHost = QString::fromLatin1(hosts[(pick / 30) % 6]);
    const QString sendPath = QString::fromLatin1(paths[(pick / 3) % 5]);

    qint64 seconds = 0;
    const QDateTime start(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC);
    CookieJar jar([&seconds, &start] { return start.addSecs(seconds); });
    jar.store(setHost, setPath, lines);
    for (const QByteArray &line : lines) {
        jar.store(sendHost, sendPath, {line});
        seconds += 7;
    }

    for (int round = 0; round < 2; ++round) {
        checkHeader(jar.cookieHeader(sendHost, sendPath));
        seconds += 1'000'000;
    }
    for (const Cookie &cookie : jar.cookies()) {
        if (cookie.name.isEmpty() || cookie.path.isEmpty() || !cookie.path.startsWith(u'/'))
            std::abort();
        if (cookie.persistent && !cookie.expiry.isValid())
            std::abort();
    }
    checkLimits(jar.cookies(), CookieJar::kMaxCookiesPerDomain, CookieJar::kMaxCookies);

    exerciseLimits(data, size);
    return 0;
}
