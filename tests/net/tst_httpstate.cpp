#include "net/CookieJar.h"

#include "support/TestPaths.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

#include <map>

// Runs the public RFC 6265 cookie test suite (testdata/http-state) through the jar at
// the API level: the Set-Cookie lines of NAME-test come back from
// http://home.example.org:8888/cookie-parser?NAME, and the Cookie header for the
// Location URL (or /cookie-parser-result?NAME) must equal NAME-expected.
//
// The cases where our rules give another answer than the suite are listed below with
// the rule that makes the difference; the test fails when any other case differs, and
// when a listed case stops differing.

namespace
{

const QString kSetHost = QStringLiteral("home.example.org");
const QString kSetDirectory = QStringLiteral("/"); // of /cookie-parser?NAME
constexpr int kSuiteCases = 222;

// Why a case differs, one reason per rule of ours.
const char *const kDirectoryPath
    = "a request path-matches by its directory path only (document left out), so a cookie "
      "path naming the document or a deeper folder is not sent to it";
const char *const kQuotes
    = "a value (and an attribute value) beginning with a double quote is taken up to the "
      "next quote, without the quotes";
const char *const kNoPublicSuffix
    = "no public-suffix list: a Domain of a top-level label is accepted when the host "
      "domain-matches it";
const char *const kControlBytes
    = "a name or value holding a control byte (NUL, bare CR) is refused whole, so it never "
      "reaches our request head; older browsers cut the value there instead";
const char *const kPercentPath = "request paths are matched as written, no percent-decoding";

const std::map<QString, const char *> &expectedDifferences()
{
    static const std::map<QString, const char *> table = {
        {QStringLiteral("attribute0023"), kDirectoryPath},
        {QStringLiteral("charset0004"), kQuotes},
        {QStringLiteral("chromium0002"), kQuotes},
        {QStringLiteral("chromium0003"), kQuotes},
        {QStringLiteral("chromium0004"), kQuotes},
        {QStringLiteral("chromium0005"), kQuotes},
        {QStringLiteral("chromium0006"), kQuotes},
        {QStringLiteral("chromium0007"), kQuotes},
        {QStringLiteral("chromium0011"), kQuotes},
        {QStringLiteral("chromium0016"), kQuotes},
        {QStringLiteral("comma0002"), kQuotes},
        {QStringLiteral("disabled-chromium0022"), kControlBytes},
        {QStringLiteral("disabled-chromium0023"), kControlBytes},
        {QStringLiteral("disabled-path0029"), kPercentPath},
        {QStringLiteral("domain0017"), kNoPublicSuffix},
        {QStringLiteral("domain0021"), kQuotes},
        {QStringLiteral("mozilla0012"), kQuotes},
        {QStringLiteral("path0001"), kDirectoryPath},
        {QStringLiteral("path0002"), kDirectoryPath},
        {QStringLiteral("path0003"), kDirectoryPath},
        {QStringLiteral("path0004"), kDirectoryPath},
        {QStringLiteral("path0007"), kDirectoryPath},
        {QStringLiteral("path0010"), kDirectoryPath},
        {QStringLiteral("path0026"), kDirectoryPath},
        {QStringLiteral("path0027"), kDirectoryPath},
        {QStringLiteral("path0029"), kDirectoryPath},
        {QStringLiteral("value0002"), kQuotes},
        {QStringLiteral("value0003"), kQuotes},
        {QStringLiteral("value0004"), kQuotes},
        {QStringLiteral("value0005"), kQuotes},
    };
    return table;
}

QString parserDir()
{
    return testDataDir() + QStringLiteral("/http-state/parser");
}
QString datesDir()
{
    return testDataDir() + QStringLiteral("/http-state/dates");
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// The directory path of a request path: up to and including its last "/".
QString directoryOf(const QString &path)
{
    return path.left(path.lastIndexOf(u'/') + 1);
}

struct Target {
    QString host;
    QString directory;
};

// Resolves the Location value against http://home.example.org:8888/cookie-parser?NAME.
Target resolveLocation(const QString &location)
{
    QString rest = location;
    QString host = kSetHost;
    const qsizetype scheme = rest.indexOf(QLatin1String("://"));
    if (scheme >= 0) {
        rest = rest.mid(scheme + 3);
        qsizetype authorityEnd = rest.indexOf(u'/');
        if (authorityEnd < 0)
            authorityEnd = rest.size();
        const QString authority = rest.left(authorityEnd);
        host = authority.left(
            authority.indexOf(u':') < 0 ? authority.size() : authority.indexOf(u':'));
        rest = rest.mid(authorityEnd);
    }
    const qsizetype query = rest.indexOf(u'?');
    if (query >= 0)
        rest = rest.left(query);
    if (rest.isEmpty())
        rest = QStringLiteral("/");
    return {host, directoryOf(rest)};
}

} // namespace

class TestHttpState : public QObject
{
    Q_OBJECT

private slots:
    void suiteIsPresent();
    void parserCase_data();
    void parserCase();
    void differenceTableNamesRealCases();
    void dateExample_data();
    void dateExample();
};

void TestHttpState::suiteIsPresent()
{
    const QStringList tests = QDir(parserDir()).entryList({QStringLiteral("*-test")}, QDir::Files);
    QCOMPARE(tests.size(), kSuiteCases);
}

void TestHttpState::parserCase_data()
{
    QTest::addColumn<QList<QByteArray>>("setCookies");
    QTest::addColumn<QString>("targetHost");
    QTest::addColumn<QString>("targetDirectory");
    QTest::addColumn<bool>("expectHeader");
    QTest::addColumn<QByteArray>("expectedHeader");
    QTest::addColumn<QString>("difference");

    // Upstream's server reads each header line as (\S+):\s*(.*).
    static const QRegularExpression headerLine(QStringLiteral("^(\\S+):\\s*(.*)"));
    const QStringList tests
        = QDir(parserDir()).entryList({QStringLiteral("*-test")}, QDir::Files, QDir::Name);
    for (const QString &file : tests) {
        const QString name = file.chopped(5);
        QList<QByteArray> setCookies;
        QString location;
        const QByteArray content = readAll(parserDir() + u'/' + file);
        for (const QByteArray &line : content.split('\n')) {
            const auto match = headerLine.match(QString::fromLatin1(line));
            if (!match.hasMatch())
                continue;
            const QString header = match.captured(1);
            if (header.compare(QLatin1String("Set-Cookie"), Qt::CaseInsensitive) == 0)
                setCookies.append(match.captured(2).toLatin1());
            else if (header.compare(QLatin1String("Location"), Qt::CaseInsensitive) == 0)
                location = match.captured(2);
        }
        const Target target = resolveLocation(
            location.isEmpty() ? QStringLiteral("/cookie-parser-result") : location);

        // Anything but exactly one Cookie line means "no Cookie header" (0028 holds two
        // Set-Cookie lines there).
        QList<QByteArray> cookieLines;
        const QByteArray expected = readAll(parserDir() + u'/' + name + QLatin1String("-expected"));
        for (const QByteArray &line : expected.split('\n')) {
            const auto match = headerLine.match(QString::fromLatin1(line));
            if (match.hasMatch()
                && match.captured(1).compare(QLatin1String("Cookie"), Qt::CaseInsensitive) == 0)
                cookieLines.append(match.captured(2).toLatin1());
        }
        const bool expectHeader = cookieLines.size() == 1;

        const auto listed = expectedDifferences().find(name);
        const QString difference = listed == expectedDifferences().end()
            ? QString()
            : QString::fromLatin1(listed->second);
        QTest::newRow(qPrintable(name))
            << setCookies << target.host << target.directory << expectHeader
            << (expectHeader ? cookieLines.first() : QByteArray()) << difference;
    }
}

void TestHttpState::parserCase()
{
    QFETCH(QList<QByteArray>, setCookies);
    QFETCH(QString, targetHost);
    QFETCH(QString, targetDirectory);
    QFETCH(bool, expectHeader);
    QFETCH(QByteArray, expectedHeader);
    QFETCH(QString, difference);

    // Before the suite's dates rot (some cookies expire in 2019).
    const QDateTime now(QDate(2015, 6, 1), QTime(0, 0), Qt::UTC);
    CookieJar jar([now] { return now; });
    jar.store(kSetHost, kSetDirectory, setCookies);
    const std::optional<QString> header = jar.cookieHeader(targetHost, targetDirectory);
    const bool agrees = header.has_value() == expectHeader
        && (!expectHeader || header->toLatin1() == expectedHeader);

    const QByteArray got = header ? "Cookie: " + header->toLatin1() : "(no header)";
    const QByteArray want = expectHeader ? "Cookie: " + expectedHeader : "(no header)";
    if (difference.isEmpty()) {
        if (!agrees)
            qWarning("got %s, suite expects %s", got.constData(), want.constData());
        QVERIFY(agrees);
    } else {
        if (agrees)
            qWarning("listed as differing (%s) but agrees", qPrintable(difference));
        QVERIFY(!agrees);
    }
}

void TestHttpState::differenceTableNamesRealCases()
{
    for (const auto &[name, reason] : expectedDifferences())
        QVERIFY2(
            QFile::exists(parserDir() + u'/' + name + QLatin1String("-test")), qPrintable(name));
    const int listed = int(expectedDifferences().size());
    qInfo("%d of %d cases agree with the suite; %d listed differences", kSuiteCases - listed,
        kSuiteCases, listed);
}

void TestHttpState::dateExample_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QDateTime>("expected");

    for (const QString &file :
        {QStringLiteral("examples.json"), QStringLiteral("bsd-examples.json")}) {
        QByteArray json = readAll(datesDir() + u'/' + file);
        // bsd-examples.json opens with // licence lines.
        QByteArray stripped;
        for (const QByteArray &line : json.split('\n')) {
            if (!line.trimmed().startsWith("//"))
                stripped += line + '\n';
        }
        const QJsonArray cases = QJsonDocument::fromJson(stripped).array();
        QVERIFY2(!cases.isEmpty(), qPrintable(file));
        int index = 0;
        for (const QJsonValue &value : cases) {
            const QJsonObject example = value.toObject();
            const QString text = example.value(QLatin1String("test")).toString();
            const QJsonValue expected = example.value(QLatin1String("expected"));
            // The expectations are RFC 1123 dates; Qt's own reader checks them apart from ours.
            const QDateTime when = expected.isNull()
                ? QDateTime()
                : QDateTime::fromString(
                    expected.toString().replace(QLatin1String("GMT"), QLatin1String("+0000")),
                    Qt::RFC2822Date)
                      .toUTC();
            QTest::addRow("%s #%d: %s", qPrintable(file), ++index, qPrintable(text))
                << text.toUtf8() << !expected.isNull() << when;
        }
    }
}

void TestHttpState::dateExample()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, valid);
    QFETCH(QDateTime, expected);

    if (valid)
        QVERIFY(expected.isValid());
    const std::optional<QDateTime> parsed = parseCookieDate(text);
    QCOMPARE(parsed.has_value(), valid);
    if (valid)
        QCOMPARE(*parsed, expected);
}

QTEST_GUILESS_MAIN(TestHttpState)
#include "tst_httpstate.moc"
