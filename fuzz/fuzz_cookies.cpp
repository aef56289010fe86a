// Arbitrary Set-Cookie bytes and cookie dates through the jar and the date reader.
// Besides not crashing, what the jar sends must stay a plain header value: no CR, LF
// or NUL, and only cookies that were offered.
#include "net/CookieJar.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

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
        const std::optional<QString> header = jar.cookieHeader(sendHost, sendPath);
        if (header) {
            if (header->isEmpty() || header->contains(u'\r') || header->contains(u'\n')
                || header->contains(QChar(0)))
                std::abort();
        }
        seconds += 1'000'000;
    }
    for (const Cookie &cookie : jar.cookies()) {
        if (cookie.name.isEmpty() || cookie.path.isEmpty() || !cookie.path.startsWith(u'/'))
            std::abort();
        if (cookie.persistent && !cookie.expiry.isValid())
            std::abort();
    }
    return 0;
}
