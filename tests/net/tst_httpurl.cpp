#include "net/HttpUrl.h"

#include "diag/Exception.h"

#include <QtTest>

namespace
{

const QString Refused = QStringLiteral("Invalid character in the URL.");

// The outcome of checking and resolving `url` on `target`: "target|host header" or the
// failure's message.
QString resolved(HttpTarget &target, const QString &url)
{
    try {
        checkUrlCharacters(url);
        resolveUrl(target, url);
        return requestTarget(target) + u'|' + hostHeaderValue(target);
    } catch (const Exception &e) {
        return e.message();
    }
}

} // namespace

class TestHttpUrl : public QObject
{
    Q_OBJECT

private slots:
    void urlCharacters_data();
    void urlCharacters();
    void everyControlCharacterAndSpaceRefused();
    void refusedUrlLeavesTheTarget();
};

void TestHttpUrl::urlCharacters_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("result");

    QTest::newRow("CR LF in the path") << "http://srv/a HTTP/1.0\r\nX-Injected: yes\r\n" << Refused;
    QTest::newRow("line feed in the query") << "http://srv/a?x=1\ny" << Refused;
    QTest::newRow("carriage return in the host") << "http://srv\r/a" << Refused;
    QTest::newRow("line break in the port") << "http://srv:80\n/a" << Refused;
    QTest::newRow("tab in the document") << "http://srv/a\tb" << Refused;
    QTest::newRow("space in the path") << "http://srv/a b/c" << Refused;
    QTest::newRow("space in the query") << "http://srv/p?a b" << Refused;
    QTest::newRow("trailing space of a typed address") << "http://srv/QuorvelFiles " << Refused;
    QTest::newRow("line break after the fragment mark") << "http://srv/a#x\r\ny" << Refused;
    QTest::newRow("DEL") << "http://srv/a\x7f" << Refused;
    QTest::newRow("CR LF in a path reference") << "/QuorvelFiles\r\nX: y" << Refused;
    QTest::newRow("CR LF before an https refusal") << "https://srv/\r\n" << Refused;
    QTest::newRow("escaped line break is sent as written") << "http://srv/a%0D%0AX?b=%20"
                                                           << "/a%0D%0AX?b=%20|srv";
    QTest::newRow("Cyrillic passes (written as question marks later)") << "http://srv/папка/doc"
                                                                       << "/папка/doc|srv";
    QTest::newRow("C1 control above 127 passes (written as a question mark)")
        << QStringLiteral("http://srv/a") + QChar(0x85) + QLatin1String("b")
        << QStringLiteral("/a\u0085b|srv");
    QTest::newRow("plain address") << "http://srv:8080/QuorvelFiles"
                                   << "/QuorvelFiles|srv:8080";
}

void TestHttpUrl::urlCharacters()
{
    QFETCH(QString, url);
    QFETCH(QString, result);
    HttpTarget target;
    QCOMPARE(resolved(target, url), result);
}

void TestHttpUrl::everyControlCharacterAndSpaceRefused()
{
    for (ushort code = 0; code < 128; ++code) {
        const QString url = QStringLiteral("http://srv/a") + QChar(code) + u'b';
        HttpTarget target;
        const bool refused = resolved(target, url) == Refused;
        QVERIFY2(refused == (code <= 32 || code == 127), qPrintable(QString::number(code)));
    }
}

void TestHttpUrl::refusedUrlLeavesTheTarget()
{
    HttpTarget target;
    QCOMPARE(resolved(target, QStringLiteral("http://srv:81/dir/doc")),
        QStringLiteral("/dir/doc|srv:81"));
    QCOMPARE(resolved(target, QStringLiteral("http://evil\r\n:82/x\r\n/")), Refused);
    QCOMPARE(resolved(target, QStringLiteral("sub/next")), QStringLiteral("/dir/sub/next|srv:81"));
}

QTEST_GUILESS_MAIN(TestHttpUrl)
#include "tst_httpurl.moc"
