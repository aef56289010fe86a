#include "net/CookieJar.h"

#include <QtTest>

#include <atomic>
#include <thread>

// The jar's own rules beyond the public suite: what is stored, what is sent, in which
// order, and how cookies age on an injected clock.

namespace
{

const QDateTime kStart(QDate(2024, 3, 1), QTime(12, 0), Qt::UTC);

// A clock the test moves by hand.
struct ManualClock {
    std::shared_ptr<QDateTime> now = std::make_shared<QDateTime>(kStart);
    CookieJar::Clock clock() const
    {
        return [now = now] { return *now; };
    }
    void advance(qint64 seconds) { *now = now->addSecs(seconds); }
};

QString noHeader()
{
    return QString();
} // a null text: no Cookie header at all

} // namespace

class TestCookieJar : public QObject
{
    Q_OBJECT

private slots:
    void storeThenSend_data();
    void storeThenSend();
    void limits_data();
    void limits();
    void storedRecord_data();
    void storedRecord();
    void expiryFollowsClock_data();
    void expiryFollowsClock();
    void replacementKeepsCreationTime();
    void sendingStampsLastAccess();
    void lifetimeCap_data();
    void lifetimeCap();
    void headerIsTheSameForEveryLetterCaseOfHost();
    void concurrentReadersAndWriters();
    void cookieDate_data();
    void cookieDate();
    void ipAddress_data();
    void ipAddress();
};

// Each Set-Cookie value comes in a reply of its own, one second after the previous one,
// from setHost with directory path setDir; then a post goes to sendHost and sendDir.
void TestCookieJar::storeThenSend_data()
{
    QTest::addColumn<QString>("setHost");
    QTest::addColumn<QString>("setDir");
    QTest::addColumn<QList<QByteArray>>("setCookies");
    QTest::addColumn<QString>("sendHost");
    QTest::addColumn<QString>("sendDir");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("stored");

    const QString h = QStringLiteral("svc.example.org");
    const QString root = QStringLiteral("/");
    using L = QList<QByteArray>;
    const auto row = [](const char *name) -> QTestData & { return QTest::newRow(name); };

    // Name and value
    row("plain cookie sent back") << h << root << L{"sid=abc"} << h << root << "sid=abc" << 1;
    row("name and value trimmed") << h << root << L{"  sid \t=  abc  ; Path=/"} << h << root
                                  << "sid=abc" << 1;
    row("value split at first equals sign") << h << root << L{"a=b=c"} << h << root << "a=b=c" << 1;
    row("quoted value sent without quotes")
        << h << root << L{"a=\"x y\""} << h << root << "a=x y" << 1;
    row("quoted value ends at next quote")
        << h << root << L{"a=\"x\"tail"} << h << root << "a=x" << 1;
    row("unclosed quote drops only the opening quote")
        << h << root << L{"a=\"xyz"} << h << root << "a=xyz" << 1;
    row("empty value kept") << h << root << L{"a="} << h << root << "a=" << 1;
    row("header without equals sign ignored")
        << h << root << L{"justaname"} << h << root << noHeader() << 0;
    row("empty name ignored") << h << root << L{" =value"} << h << root << noHeader() << 0;
    row("bytes above 127 go back unchanged") << h << root << L{"n=\xc3\xa9t\xc3\xa9"} << h << root
                                             << QString::fromLatin1("n=\xc3\xa9t\xc3\xa9") << 1;

    // Attributes
    row("attribute names without letter case")
        << h << root << L{"a=1; sEcUrE"} << h << root << noHeader() << 1;
    row("unknown attributes ignored")
        << h << root << L{"a=1; Foo=bar; Baz; =x"} << h << root << "a=1" << 1;
    row("last Path occurrence wins")
        << h << root << L{"a=1; Path=/deep/; path=/"} << h << root << "a=1" << 1;
    row("last Domain occurrence wins")
        << h << root << L{"a=1; Domain=other.org; Domain=example.org"}
        << QStringLiteral("x.example.org") << root << "a=1" << 1;
    row("empty later Domain leaves earlier one")
        << h << root << L{"a=1; Domain=example.org; Domain="} << QStringLiteral("x.example.org")
        << root << "a=1" << 1;
    row("quoted Path attribute unquoted")
        << h << root << L{"a=1; Path=\"/app\""} << h << QStringLiteral("/app/") << "a=1" << 1;
    row("HttpOnly cookie still sent") << h << root << L{"a=1; HttpOnly"} << h << root << "a=1" << 1;
    row("Secure stored but never sent")
        << h << root << L{"a=1; Secure"} << h << root << noHeader() << 1;
    row("Secure with a value is still Secure")
        << h << root << L{"a=1; Secure=no"} << h << root << noHeader() << 1;

    // Domain
    row("host-only not sent to subdomain")
        << h << root << L{"a=1"} << "sub." + h << root << noHeader() << 1;
    row("host-only matched without letter case")
        << QStringLiteral("SVC.Example.ORG") << root << L{"a=1"} << h << root << "a=1" << 1;
    row("domain cookie sent to subdomain")
        << h << root << L{"a=1; Domain=svc.example.org"} << "deep.sub." + h << root << "a=1" << 1;
    row("domain cookie sent to its own host")
        << h << root << L{"a=1; Domain=svc.example.org"} << h << root << "a=1" << 1;
    row("leading dot of Domain removed") << h << root << L{"a=1; Domain=.example.org"}
                                         << QStringLiteral("www.example.org") << root << "a=1" << 1;
    row("Domain lower-cased") << h << root << L{"a=1; Domain=EXAMPLE.Org"}
                              << QStringLiteral("www.example.org") << root << "a=1" << 1;
    row("domain cookie not sent to a name merely ending in it")
        << h << root << L{"a=1; Domain=example.org"} << QStringLiteral("badexample.org") << root
        << noHeader() << 1;
    row("Domain the host does not match rejected")
        << h << root << L{"a=1; Domain=other.example.org"} << QStringLiteral("other.example.org")
        << root << noHeader() << 0;
    row("Domain of a subdomain rejected")
        << h << root << L{"a=1; Domain=deeper.svc.example.org"} << h << root << noHeader() << 0;
    row("empty Domain ignored so cookie is host-only")
        << h << root << L{"a=1; Domain="} << "sub." + h << root << noHeader() << 1;
    row("Domain of a lone dot rejected")
        << h << root << L{"a=1; Domain=."} << h << root << noHeader() << 0;
    row("IP host never domain-matches a suffix")
        << QStringLiteral("192.0.2.1") << root << L{"a=1; Domain=0.2.1"}
        << QStringLiteral("192.0.2.1") << root << noHeader() << 0;
    row("IP host accepts a Domain equal to itself")
        << QStringLiteral("192.0.2.1") << root << L{"a=1; Domain=192.0.2.1"}
        << QStringLiteral("192.0.2.1") << root << "a=1" << 1;
    row("IPv6 host never domain-matches a suffix")
        << QStringLiteral("[2001:db8::1]") << root << L{"a=1; Domain=db8::1]"}
        << QStringLiteral("[2001:db8::1]") << root << noHeader() << 0;

    // Path
    const QString app = QStringLiteral("/app/");
    row("full request path as Path stored but never sent")
        << h << app << L{"a=1; Path=/app/QuorvelFiles"} << h << app << noHeader() << 1;
    row("default path is directory without last slash")
        << h << QStringLiteral("/a/b/") << L{"a=1"} << h << QStringLiteral("/a/b/c/") << "a=1" << 1;
    row("default path not sent to parent directory")
        << h << QStringLiteral("/a/b/") << L{"a=1"} << h << QStringLiteral("/a/") << noHeader()
        << 1;
    row("default path not sent to sibling with same prefix")
        << h << QStringLiteral("/a/b/") << L{"a=1"} << h << QStringLiteral("/a/bc/") << noHeader()
        << 1;
    row("Path not beginning with slash uses default path")
        << h << QStringLiteral("/a/b/") << L{"a=1; Path=x/"} << h << QStringLiteral("/a/")
        << noHeader() << 1;
    row("empty Path uses default path") << h << QStringLiteral("/a/b/") << L{"a=1; Path="} << h
                                        << QStringLiteral("/a/b/") << "a=1" << 1;
    row("root directory gives root path")
        << h << root << L{"a=1"} << h << QStringLiteral("/x/y/") << "a=1" << 1;
    row("empty directory path counts as root")
        << h << QString() << L{"a=1"} << h << root << "a=1" << 1;
    row("path match ignores letter case")
        << h << root << L{"a=1; Path=/App"} << h << QStringLiteral("/aPP/") << "a=1" << 1;
    row("cookie path ending in slash matches deeper folders")
        << h << root << L{"a=1; Path=/app/"} << h << QStringLiteral("/app/x/") << "a=1" << 1;
    row("cookie path not sent to shorter directory")
        << h << root << L{"a=1; Path=/app/"} << h << root << noHeader() << 1;

    // Replacement and removal
    row("replacement keeps creation time so order stays")
        << h << root << L{"a=1", "b=2", "a=3"} << h << root << "a=3; b=2" << 2;
    row("replacement matches name without letter case")
        << h << root << L{"SID=1", "sid=2"} << h << root << "sid=2" << 1;
    row("same name on another path kept apart") << h << root << L{"a=1; Path=/", "a=2; Path=/x"}
                                                << h << QStringLiteral("/x/") << "a=2; a=1" << 2;
    row("Max-Age=-1 removes stored namesake")
        << h << root << L{"a=1", "a=2; Max-Age=-1"} << h << root << noHeader() << 0;
    row("Max-Age=-1 on another path leaves cookie")
        << h << root << L{"a=1", "a=2; Max-Age=-1; Path=/x"} << h << root << "a=1" << 1;
    row("Max-Age=0 removes stored namesake")
        << h << root << L{"a=1", "a=; Max-Age=0"} << h << root << noHeader() << 0;
    row("past Expires removes stored namesake")
        << h << root << L{"a=1", "a=; Expires=Thu, 01 Jan 1970 00:00:00 GMT"} << h << root
        << noHeader() << 0;
    row("already expired cookie without namesake not stored")
        << h << root << L{"a=1; Max-Age=-5"} << h << root << noHeader() << 0;

    // Max-Age and Expires
    row("non-integer Max-Age ignored")
        << h << root << L{"a=1; Max-Age=ten"} << h << root << "a=1" << 1;
    row("Max-Age with plus sign is not an integer")
        << h << root << L{"a=1; Max-Age=+5"} << h << root << "a=1" << 1;
    row("Max-Age wins over earlier past Expires")
        << h << root << L{"a=1; Expires=Thu, 01 Jan 1970 00:00:00 GMT; Max-Age=60"} << h << root
        << "a=1" << 1;
    row("Max-Age wins over later past Expires")
        << h << root << L{"a=1; Max-Age=60; Expires=Thu, 01 Jan 1970 00:00:00 GMT"} << h << root
        << "a=1" << 1;
    row("negative Max-Age wins over future Expires")
        << h << root << L{"a=1; Max-Age=-1; Expires=Fri, 01 Jan 2100 00:00:00 GMT"} << h << root
        << noHeader() << 0;
    row("integer Expires counts as seconds")
        << h << root << L{"a=1; Expires=-1"} << h << root << noHeader() << 0;
    row("unreadable Expires ignored")
        << h << root << L{"a=1; Expires=someday"} << h << root << "a=1" << 1;
    row("ignored Max-Age leaves Expires in force")
        << h << root << L{"a=1; Max-Age=soon; Expires=Thu, 01 Jan 1970 00:00:00 GMT"} << h << root
        << noHeader() << 0;

    // Size of one cookie
    const QByteArray fill(CookieJar::kMaxCookieBytes, 'v');
    const QByteArray atLimit = "n=" + fill.left(CookieJar::kMaxCookieBytes - 1);
    row("name and value of 4096 bytes stored")
        << h << root << L{atLimit} << h << root << QString::fromLatin1(atLimit) << 1;
    row("name and value of 4097 bytes ignored")
        << h << root << L{"n=" + fill} << h << root << noHeader() << 0;
    row("name counts towards the size limit")
        << h << root << L{"nn=" + fill.left(CookieJar::kMaxCookieBytes - 1)} << h << root
        << noHeader() << 0;
    row("quotes around the value not counted")
        << h << root << L{"n=\"" + fill.left(CookieJar::kMaxCookieBytes - 1) + '"'} << h << root
        << QString::fromLatin1(atLimit) << 1;
    row("oversized cookie leaves its stored namesake")
        << h << root << L{"n=1", "n=" + fill + "; Max-Age=0"} << h << root << "n=1" << 1;

    // Order and joining
    row("longer path first") << h << root << L{"a=1; Path=/", "b=2; Path=/app", "c=3; Path=/app/x"}
                             << h << QStringLiteral("/app/x/") << "c=3; b=2; a=1" << 3;
    row("equal paths in creation order")
        << h << root << L{"z=1", "y=2", "x=3"} << h << root << "z=1; y=2; x=3" << 3;
    row("host-only and domain cookies together")
        << h << root << L{"a=1; Domain=example.org", "b=2"} << h << root << "a=1; b=2" << 2;
}

void TestCookieJar::storeThenSend()
{
    QFETCH(QString, setHost);
    QFETCH(QString, setDir);
    QFETCH(QList<QByteArray>, setCookies);
    QFETCH(QString, sendHost);
    QFETCH(QString, sendDir);
    QFETCH(QString, expected);
    QFETCH(int, stored);

    ManualClock clock;
    CookieJar jar(clock.clock());
    for (const QByteArray &setCookie : setCookies) {
        jar.store(setHost, setDir, {setCookie});
        clock.advance(1);
    }
    QCOMPARE(int(jar.cookies().size()), stored);
    const std::optional<QString> header = jar.cookieHeader(sendHost, sendDir);
    QCOMPARE(header.has_value(), !expected.isNull());
    if (header)
        QCOMPARE(*header, expected);

    // All of them in one reply head gives the same header.
    CookieJar together(clock.clock());
    together.store(setHost, setDir, setCookies);
    const std::optional<QString> again = together.cookieHeader(sendHost, sendDir);
    QCOMPARE(again, header);
}

namespace
{

// Steps of a limits scenario, one second apart:
//   "set HOST LINES"  one reply from HOST (directory "/"); its Set-Cookie lines are
//                     separated by newlines
//   "send HOST DIR"   a post to HOST and DIR
//   "wait SECONDS"
QStringList setEach(const QString &host, const QString &prefix, int from, int to,
    const QString &attributes = QString())
{
    QStringList steps;
    for (int i = from; i < to; ++i)
        steps << QStringLiteral("set %1 %2%3=v%4").arg(host, prefix).arg(i).arg(attributes);
    return steps;
}

QString setInOneReply(const QString &host, const QString &prefix, int count)
{
    QStringList lines;
    for (int i = 0; i < count; ++i)
        lines << QStringLiteral("%1%2=v").arg(prefix).arg(i);
    return QStringLiteral("set %1 %2").arg(host, lines.join(u'\n'));
}

// `domains` hosts of kMaxCookiesPerDomain cookies each, named d<host>c<cookie>.
QStringList fillDomains(int domains)
{
    QStringList steps;
    for (int d = 0; d < domains; ++d) {
        steps << setEach(QStringLiteral("d%1.example.org").arg(d), QStringLiteral("d%1c").arg(d), 0,
            CookieJar::kMaxCookiesPerDomain);
    }
    return steps;
}

} // namespace

// One past each limit: which cookie goes, and that expired ones go before used ones.
void TestCookieJar::limits_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("gone");
    QTest::addColumn<QStringList>("kept");

    constexpr int perDomain = int(CookieJar::kMaxCookiesPerDomain);
    constexpr int domainsToFill = int(CookieJar::kMaxCookies / CookieJar::kMaxCookiesPerDomain);
    static_assert(domainsToFill * perDomain == CookieJar::kMaxCookies);
    const QString h = QStringLiteral("h.example.org");
    const QString c = QStringLiteral("c");
    const QStringList full = setEach(h, c, 0, perDomain);
    const QStringList fullJar = fillDomains(domainsToFill);
    const QString oneMore = QStringLiteral("set new.example.org new=v");
    using S = QStringList;

    QTest::newRow("50 cookies of a domain all kept") << full << perDomain << S{} << S{"c0", "c49"};
    QTest::newRow("51st cookie of a domain evicts the least recently set")
        << full + S{"set h.example.org c50=v"} << perDomain << S{"c0"} << S{"c1", "c50"};
    QTest::newRow("sending a cookie makes it recently used")
        << S{"set h.example.org c0=v; Path=/sent"} + setEach(h, c, 1, perDomain, "; Path=/other")
            + S{"send h.example.org /sent/", "set h.example.org c50=v"}
        << perDomain << S{"c1"} << S{"c0", "c2", "c50"};
    QTest::newRow("setting a cookie again makes it recently used")
        << full + S{"set h.example.org c0=w", "set h.example.org c50=v"} << perDomain << S{"c1"}
        << S{"c0", "c2", "c50"};
    QTest::newRow("expired cookie of the domain goes before the least recently used")
        << setEach(h, c, 0, 10) + S{"set h.example.org c10=v; Max-Age=5"}
            + setEach(h, c, 11, perDomain) + S{"wait 10", "set h.example.org c50=v"}
        << perDomain << S{"c10"} << S{"c0", "c11", "c50"};
    QTest::newRow("host-only and Domain cookies of one domain count together")
        << setEach(QStringLiteral("example.org"), c, 0, 25)
            + setEach(QStringLiteral("www.example.org"), c, 25, perDomain, "; Domain=example.org")
            + S{"set example.org c50=v"}
        << perDomain << S{"c0"} << S{"c1", "c25", "c50"};
    QTest::newRow("each host and Domain counts apart")
        << setEach(QStringLiteral("a.example.org"), QStringLiteral("a"), 0, perDomain)
            + setEach(QStringLiteral("b.example.org"), QStringLiteral("b"), 0, perDomain)
            + setEach(QStringLiteral("a.example.org"), QStringLiteral("x"), 0, perDomain,
                "; Domain=example.org")
        << 3 * perDomain << S{} << S{"a0", "b0", "x0"};
    QTest::newRow("one reply of 51 cookies keeps its last 50")
        << S{setInOneReply(h, c, perDomain + 1)} << perDomain << S{"c0"} << S{"c1", "c50"};

    QTest::newRow("3000 cookies all kept")
        << fullJar << int(CookieJar::kMaxCookies) << S{} << S{"d0c0", "d59c49"};
    QTest::newRow("3001st cookie evicts the least recently used of the jar")
        << fullJar + S{oneMore} << int(CookieJar::kMaxCookies) << S{"d0c0"} << S{"d0c1", "new"};
    QTest::newRow("least recently used of the jar counts sending too")
        << fullJar + S{"send d0.example.org /", oneMore} << int(CookieJar::kMaxCookies) << S{"d1c0"}
        << S{"d0c0", "new"};
    QTest::newRow("expired cookie of any domain goes before the least recently used")
        << fillDomains(30) + S{"set d30.example.org d30c0=v; Max-Age=5"}
            + setEach(QStringLiteral("d30.example.org"), QStringLiteral("d30c"), 1, perDomain)
            + fullJar.mid(31 * perDomain) + S{"wait 10", oneMore}
        << int(CookieJar::kMaxCookies) << S{"d30c0"} << S{"d0c0", "new"};
    QTest::newRow("a reply of 250 cookies into a full jar")
        << fullJar + S{setInOneReply(QStringLiteral("new.example.org"), "new", 250)}
        << int(CookieJar::kMaxCookies) << S{"new0", "new199", "d0c0", "d0c49"}
        << S{"new200", "new249", "d1c0"};
}

void TestCookieJar::limits()
{
    QFETCH(QStringList, steps);
    QFETCH(int, count);
    QFETCH(QStringList, gone);
    QFETCH(QStringList, kept);

    ManualClock clock;
    CookieJar jar(clock.clock());
    for (const QString &step : steps) {
        const QString verb = step.section(u' ', 0, 0);
        const QString host = step.section(u' ', 1, 1);
        const QString rest = step.section(u' ', 2);
        if (verb == QLatin1String("set")) {
            QList<QByteArray> lines;
            for (const QString &line : rest.split(u'\n'))
                lines << line.toLatin1();
            jar.store(host, QStringLiteral("/"), lines);
        } else if (verb == QLatin1String("send")) {
            QVERIFY(jar.cookieHeader(host, rest));
        } else {
            QCOMPARE(verb, QStringLiteral("wait"));
            clock.advance(host.toLongLong());
        }
        clock.advance(1);
    }

    const std::vector<Cookie> cookies = jar.cookies();
    QCOMPARE(int(cookies.size()), count);
    QSet<QString> names;
    QHash<QString, int> perDomain;
    for (const Cookie &cookie : cookies) {
        names.insert(cookie.name);
        QVERIFY(++perDomain[cookie.domain] <= CookieJar::kMaxCookiesPerDomain);
    }
    for (const QString &name : gone)
        QVERIFY2(!names.contains(name), qPrintable(name));
    for (const QString &name : kept)
        QVERIFY2(names.contains(name), qPrintable(name));

    // What is left is still found: every cookie is replaced, not doubled, by its namesake.
    for (const Cookie &cookie : cookies) {
        jar.store(cookie.domain, QStringLiteral("/"),
            {(cookie.name + QLatin1String("=again")).toLatin1()
                + (cookie.hostOnly ? "" : "; Domain=" + cookie.domain.toLatin1())
                + "; Path=" + cookie.path.toLatin1()});
    }
    QCOMPARE(int(jar.cookies().size()), count);
}

void TestCookieJar::storedRecord_data()
{
    QTest::addColumn<QByteArray>("setCookie");
    QTest::addColumn<QString>("domain");
    QTest::addColumn<bool>("hostOnly");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("persistent");
    QTest::addColumn<qint64>("lifetime"); // seconds after storing, when persistent
    QTest::addColumn<bool>("secure");
    QTest::addColumn<bool>("httpOnly");

    QTest::newRow("session cookie is host-only with default path")
        << QByteArray("a=1") << "svc.example.org" << true << "/app" << false << qint64(0) << false
        << false;
    QTest::newRow("Max-Age makes it persistent")
        << QByteArray("a=1; Max-Age=3600") << "svc.example.org" << true << "/app" << true
        << qint64(3600) << false << false;
    QTest::newRow("integer Expires makes it persistent")
        << QByteArray("a=1; Expires=90") << "svc.example.org" << true << "/app" << true
        << qint64(90) << false << false;
    QTest::newRow("Expires date gives its instant")
        << QByteArray("a=1; Expires=Fri, 01 Mar 2024 13:00:00 GMT") << "svc.example.org" << true
        << "/app" << true << qint64(3600) << false << false;
    QTest::newRow("Domain clears host-only")
        << QByteArray("a=1; Domain=.Example.org; Path=/; Secure; HttpOnly") << "example.org"
        << false << "/" << false << qint64(0) << true << true;
}

void TestCookieJar::storedRecord()
{
    QFETCH(QByteArray, setCookie);
    QFETCH(QString, domain);
    QFETCH(bool, hostOnly);
    QFETCH(QString, path);
    QFETCH(bool, persistent);
    QFETCH(qint64, lifetime);
    QFETCH(bool, secure);
    QFETCH(bool, httpOnly);

    ManualClock clock;
    CookieJar jar(clock.clock());
    jar.store(QStringLiteral("svc.example.org"), QStringLiteral("/app/"), {setCookie});
    const std::vector<Cookie> cookies = jar.cookies();
    QCOMPARE(cookies.size(), size_t(1));
    const Cookie &c = cookies.front();
    QCOMPARE(c.name, QStringLiteral("a"));
    QCOMPARE(c.value, QStringLiteral("1"));
    QCOMPARE(c.domain, domain);
    QCOMPARE(c.hostOnly, hostOnly);
    QCOMPARE(c.path, path);
    QCOMPARE(c.persistent, persistent);
    if (persistent)
        QCOMPARE(c.expiry, kStart.addSecs(lifetime));
    QCOMPARE(c.secure, secure);
    QCOMPARE(c.httpOnly, httpOnly);
    QCOMPARE(c.creation, kStart);
    QCOMPARE(c.lastAccess, kStart);
}

void TestCookieJar::expiryFollowsClock_data()
{
    QTest::addColumn<QByteArray>("setCookie");
    QTest::addColumn<qint64>("lifetime");

    QTest::newRow("Max-Age") << QByteArray("a=1; Max-Age=600") << qint64(600);
    QTest::newRow("Expires date") << QByteArray("a=1; Expires=Fri, 01-Mar-2024 12:10:00 GMT")
                                  << qint64(600);
    QTest::newRow("Expires as seconds") << QByteArray("a=1; Expires=600") << qint64(600);
    QTest::newRow("one second") << QByteArray("a=1; Max-Age=1") << qint64(1);
}

void TestCookieJar::expiryFollowsClock()
{
    QFETCH(QByteArray, setCookie);
    QFETCH(qint64, lifetime);

    ManualClock clock;
    CookieJar jar(clock.clock());
    const QString host = QStringLiteral("svc.example.org");
    const QString root = QStringLiteral("/");
    jar.store(host, root, {setCookie, "keep=1"});

    clock.advance(lifetime - 1);
    QCOMPARE(jar.cookieHeader(host, root), std::optional<QString>(QStringLiteral("a=1; keep=1")));
    QCOMPARE(jar.cookies().size(), size_t(2));

    // At its expiry instant the cookie is gone, and sending purged it from the jar.
    clock.advance(1);
    QCOMPARE(jar.cookieHeader(host, root), std::optional<QString>(QStringLiteral("keep=1")));
    const std::vector<Cookie> left = jar.cookies();
    QCOMPARE(left.size(), size_t(1));
    QCOMPARE(left.front().name, QStringLiteral("keep"));

    // A session cookie lives on however far the clock goes.
    clock.advance(100LL * 365 * 24 * 3600);
    QCOMPARE(jar.cookieHeader(host, root), std::optional<QString>(QStringLiteral("keep=1")));
}

void TestCookieJar::replacementKeepsCreationTime()
{
    ManualClock clock;
    CookieJar jar(clock.clock());
    const QString host = QStringLiteral("svc.example.org");
    jar.store(host, QStringLiteral("/"), {"a=1"});
    clock.advance(10);
    jar.store(host, QStringLiteral("/"), {"b=2"});
    clock.advance(10);
    jar.store(host, QStringLiteral("/"), {"A=3; Max-Age=100"});

    const std::vector<Cookie> cookies = jar.cookies();
    QCOMPARE(cookies.size(), size_t(2));
    QCOMPARE(cookies[0].name, QStringLiteral("A"));
    QCOMPARE(cookies[0].value, QStringLiteral("3"));
    QCOMPARE(cookies[0].creation, kStart);
    QCOMPARE(cookies[0].expiry, kStart.addSecs(120));
    QCOMPARE(jar.cookieHeader(host, QStringLiteral("/")),
        std::optional<QString>(QStringLiteral("A=3; b=2")));
}

void TestCookieJar::sendingStampsLastAccess()
{
    ManualClock clock;
    CookieJar jar(clock.clock());
    const QString host = QStringLiteral("svc.example.org");
    jar.store(host, QStringLiteral("/"), {"sent=1", "other=2; Path=/elsewhere"});
    clock.advance(30);
    QVERIFY(jar.cookieHeader(host, QStringLiteral("/")));

    for (const Cookie &c : jar.cookies()) {
        QCOMPARE(c.creation, kStart);
        QCOMPARE(c.lastAccess, c.name == QLatin1String("sent") ? kStart.addSecs(30) : kStart);
    }
}

void TestCookieJar::lifetimeCap_data()
{
    QTest::addColumn<QByteArray>("maxAge");
    QTest::addColumn<qint64>("lifetime");

    const qint64 cap = CookieJar::kMaxLifetimeSeconds;
    QTest::newRow("at the cap") << QByteArray::number(cap) << cap;
    QTest::newRow("one past the cap clamped") << QByteArray::number(cap + 1) << cap;
    QTest::newRow("beyond 64 bits clamped") << QByteArray("99999999999999999999999999") << cap;
    QTest::newRow("far negative is expired")
        << QByteArray("-99999999999999999999999999") << qint64(-1);
}

void TestCookieJar::lifetimeCap()
{
    QFETCH(QByteArray, maxAge);
    QFETCH(qint64, lifetime);

    ManualClock clock;
    CookieJar jar(clock.clock());
    jar.store(QStringLiteral("h"), QStringLiteral("/"), {"a=1; Max-Age=" + maxAge});
    const std::vector<Cookie> cookies = jar.cookies();
    if (lifetime < 0) {
        QVERIFY(cookies.empty());
        return;
    }
    QCOMPARE(cookies.size(), size_t(1));
    QCOMPARE(cookies.front().expiry, kStart.addSecs(lifetime));
    QVERIFY(cookies.front().expiry.isValid());
}

void TestCookieJar::headerIsTheSameForEveryLetterCaseOfHost()
{
    CookieJar jar;
    jar.store(
        QStringLiteral("Svc.Example.Org"), QStringLiteral("/"), {"a=1", "b=2; Domain=example.ORG"});
    const auto expected = std::optional<QString>(QStringLiteral("a=1; b=2"));
    for (const char *host : {"svc.example.org", "SVC.EXAMPLE.ORG", "sVc.ExAmPlE.oRg"})
        QCOMPARE(jar.cookieHeader(QString::fromLatin1(host), QStringLiteral("/")), expected);
}

// Readers build headers (and stamp last access) while writers store and expire cookies;
// under the sanitizers this shows up any unguarded access.
void TestCookieJar::concurrentReadersAndWriters()
{
    std::atomic<qint64> seconds{0};
    CookieJar jar([&seconds] { return kStart.addSecs(seconds.load()); });
    const QString host = QStringLiteral("svc.example.org");
    constexpr int kRounds = 2000;
    std::atomic<int> headersWithStable{0};
    std::atomic<bool> firstStored{false};

    std::thread writer([&] {
        for (int i = 0; i < kRounds; ++i) {
            jar.store(host, QStringLiteral("/"),
                {"n" + QByteArray::number(i % 50) + "=v; Max-Age=2", "stable=1"});
            firstStored.store(true);
            seconds.fetch_add(1);
        }
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            // On a busy machine the readers could otherwise be done before the writer runs.
            while (!firstStored.load())
                std::this_thread::yield();
            for (int i = 0; i < kRounds; ++i) {
                const auto header = jar.cookieHeader(host, QStringLiteral("/"));
                if (header && header->contains(QLatin1String("stable=1")))
                    headersWithStable.fetch_add(1);
                (void)jar.cookies();
            }
        });
    }
    writer.join();
    for (std::thread &reader : readers)
        reader.join();

    // The session cookie is never removed, so every header built after it came has it.
    QCOMPARE(headersWithStable.load(), 2 * kRounds);
    // Only the newest of the two-second cookies outlives the final purge.
    const auto header = jar.cookieHeader(host, QStringLiteral("/"));
    QVERIFY(header && header->contains(QLatin1String("stable=1")));
    QCOMPARE(jar.cookies().size(), size_t(2));
}

void TestCookieJar::cookieDate_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QDateTime>("expected"); // invalid: not a date

    const auto at = [](int y, int mo, int d, int h, int mi, int s) {
        return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::UTC);
    };
    QTest::newRow("RFC 1123") << QByteArray("Sun, 06 Nov 1994 08:49:37 GMT")
                              << at(1994, 11, 6, 8, 49, 37);
    QTest::newRow("RFC 850 with two-digit year")
        << QByteArray("Sunday, 06-Nov-94 08:49:37 GMT") << at(1994, 11, 6, 8, 49, 37);
    QTest::newRow("asctime") << QByteArray("Sun Nov  6 08:49:37 1994")
                             << at(1994, 11, 6, 8, 49, 37);
    QTest::newRow("two-digit year below 70 is 20xx")
        << QByteArray("1 Jan 69 00:00:00") << at(2069, 1, 1, 0, 0, 0);
    QTest::newRow("two-digit year 70 is 1970")
        << QByteArray("1 Jan 70 00:00:00") << at(1970, 1, 1, 0, 0, 0);
    QTest::newRow("month by its first three letters, any case")
        << QByteArray("01 DECEMBER 2030 1:2:3") << at(2030, 12, 1, 1, 2, 3);
    QTest::newRow("time zone text ignored")
        << QByteArray("Mon, 01 Jan 2024 10:00:00 +0500") << at(2024, 1, 1, 10, 0, 0);
    QTest::newRow("leap day") << QByteArray("29 Feb 2024 00:00:00") << at(2024, 2, 29, 0, 0, 0);
    QTest::newRow("year 1601 accepted")
        << QByteArray("1 Jan 1601 00:00:00") << at(1601, 1, 1, 0, 0, 0);
    QTest::newRow("latest time of day")
        << QByteArray("31 Dec 9999 23:59:59") << at(9999, 12, 31, 23, 59, 59);

    QTest::newRow("year 1600 rejected") << QByteArray("1 Jan 1600 00:00:00") << QDateTime();
    QTest::newRow("hour 24 rejected") << QByteArray("1 Jan 2024 24:00:00") << QDateTime();
    QTest::newRow("minute 60 rejected") << QByteArray("1 Jan 2024 00:60:00") << QDateTime();
    QTest::newRow("second 60 rejected") << QByteArray("1 Jan 2024 00:00:60") << QDateTime();
    QTest::newRow("day 32 rejected") << QByteArray("32 Jan 2024 00:00:00") << QDateTime();
    QTest::newRow("day 0 rejected") << QByteArray("0 Jan 2024 00:00:00") << QDateTime();
    QTest::newRow("30 February rejected") << QByteArray("30 Feb 2024 00:00:00") << QDateTime();
    QTest::newRow("29 February outside leap year rejected")
        << QByteArray("29 Feb 2023 00:00:00") << QDateTime();
    QTest::newRow("missing time rejected") << QByteArray("1 Jan 2024") << QDateTime();
    QTest::newRow("missing month rejected") << QByteArray("1 2024 00:00:00") << QDateTime();
    QTest::newRow("three-digit time field rejected")
        << QByteArray("1 Jan 2024 000:00:00") << QDateTime();
    QTest::newRow("five-digit year rejected") << QByteArray("1 Jan 20240 00:00:00") << QDateTime();
    QTest::newRow("empty text") << QByteArray() << QDateTime();
    QTest::newRow("delimiters only") << QByteArray(" ,;-/ ") << QDateTime();
}

void TestCookieJar::cookieDate()
{
    QFETCH(QByteArray, text);
    QFETCH(QDateTime, expected);

    const std::optional<QDateTime> parsed = parseCookieDate(text);
    QCOMPARE(parsed.has_value(), expected.isValid());
    if (parsed)
        QCOMPARE(*parsed, expected);
}

void TestCookieJar::ipAddress_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("ip");

    QTest::newRow("dotted IPv4") << "192.0.2.1" << true;
    QTest::newRow("short IPv4") << "127.1" << true;
    QTest::newRow("hexadecimal IPv4") << "0x7f000001" << true;
    QTest::newRow("IPv6 in brackets") << "[::1]" << true;
    QTest::newRow("bare IPv6") << "2001:db8::1" << true;
    QTest::newRow("host name") << "svc.example.org" << false;
    QTest::newRow("host name with digits in its labels") << "1.2.3.example4" << false;
    QTest::newRow("single label") << "localhost" << false;
    QTest::newRow("empty") << "" << false;
}

void TestCookieJar::ipAddress()
{
    QFETCH(QString, host);
    QFETCH(bool, ip);
    QCOMPARE(isIpAddress(host), ip);
}

QTEST_GUILESS_MAIN(TestCookieJar)
#include "tst_cookiejar.moc"
