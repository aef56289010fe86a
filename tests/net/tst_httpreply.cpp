#include "net/HttpReply.h"

#include "diag/Exception.h"
#include "net/Charsets.h"

#include <QtTest>

namespace
{

// What a reader made of a reply, in one comparable text.
QString outcome(HttpReplyReader &reader, const QList<QByteArrayView> &pieces, bool close)
{
    QString heads;
    auto drain = [&]() -> bool {
        while (true) {
            switch (reader.next()) {
            case HttpReplyReader::Event::NeedMore: return false;
            case HttpReplyReader::Event::Head:
                heads += QStringLiteral("[%1|%2|cookies=%3]")
                             .arg(reader.statusLine())
                             .arg(reader.statusCode())
                             .arg(QString::fromLatin1(reader.setCookies().join(',')));
                break;
            case HttpReplyReader::Event::Done: return true;
            }
        }
    };
    try {
        bool done = false;
        for (QByteArrayView piece : pieces) {
            reader.feed(piece);
            if ((done = drain()))
                break;
        }
        if (!done && close) {
            reader.feedEnd();
            done = drain();
        }
        if (!done)
            return heads + QStringLiteral(" incomplete");
        QStringList headers;
        for (const HttpHeader &h : reader.headers())
            headers << QString::fromLatin1(h.name + ": " + h.value);
        return heads + QStringLiteral(" body=") + QString::fromLatin1(reader.body())
            + QStringLiteral(" headers=") + headers.join(u'|');
    } catch (const Exception &e) {
        return heads + QStringLiteral(" error=") + e.message();
    }
}

QString readWhole(const QByteArray &reply, bool close)
{
    HttpReplyReader reader;
    return outcome(reader, {reply}, close);
}

QByteArray headerLines(int count)
{
    QByteArray lines;
    for (int i = 0; i < count; ++i)
        lines += "X-H" + QByteArray::number(i) + ": v\r\n";
    return lines;
}

} // namespace

class TestHttpReply : public QObject
{
    Q_OBJECT

private slots:
    void framing_data();
    void framing();
    void sameResultAtEverySplit_data() { framing_data(); }
    void sameResultAtEverySplit();
    void limits_data();
    void limits();
    void closeDelimitedBodyPastCapFails();
    void statusCode_data();
    void statusCode();
    void charsetRegistry_data();
    void charsetRegistry();
    void decoding_data();
    void decoding();
};

void TestHttpReply::framing_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("close");
    QTest::addColumn<QString>("expected");

    QTest::newRow("content-length stops at the length, socket left open")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\nsuccessEXTRA") << false
        << "[HTTP/1.1 200 OK|200|cookies=] body=success headers=Content-Length: 7";
    QTest::newRow("content-length 0 means no body")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n") << false
        << "[HTTP/1.1 200 OK|200|cookies=] body= headers=Content-Length: 0";
    QTest::newRow("close before content-length is a shorter body, no error")
        << QByteArray("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nshort") << true
        << "[HTTP/1.0 200 OK|200|cookies=] body=short headers=Content-Length: 100";
    QTest::newRow("no length: body up to the close")
        << QByteArray("HTTP/1.0 200 OK\r\n\r\nline1\r\nline2") << true
        << "[HTTP/1.0 200 OK|200|cookies=] body=line1\r\nline2 headers=";
    QTest::newRow("no length, not closed yet") << QByteArray("HTTP/1.0 200 OK\r\n\r\nabc") << false
                                               << "[HTTP/1.0 200 OK|200|cookies=] incomplete";
    QTest::newRow("chunked with extension and trailers")
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n"
                      "4;ext=1\r\nsucc\r\n3\r\ness\r\n0\r\nX-Trailer: t\r\n\r\n")
        << false
        << "[HTTP/1.1 200 OK|200|cookies=] body=success headers=Transfer-Encoding: "
           "Chunked|X-Trailer: t";
    QTest::newRow("chunked wins over content-length")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n"
                      "3\r\nabc\r\n0\r\n\r\n")
        << false
        << "[HTTP/1.1 200 OK|200|cookies=] body=abc headers=Content-Length: 2|Transfer-Encoding: "
           "chunked";
    QTest::newRow("junk chunk size counts as 0")
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                      "2\r\nab\r\nzz\r\n\r\n")
        << false << "[HTTP/1.1 200 OK|200|cookies=] body=ab headers=Transfer-Encoding: chunked";
    QTest::newRow("chunk size past 64 bits fails")
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                      "FFFFFFFFFFFFFFFFFFFF\r\nab")
        << true << "[HTTP/1.1 200 OK|200|cookies=] error=Reply body exceeds 268435456 bytes.";
    QTest::newRow("close inside a chunk")
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab") << true
        << "[HTTP/1.1 200 OK|200|cookies=] error=Connection Closed Gracefully.";
    QTest::newRow("close before the last chunk")
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n") << true
        << "[HTTP/1.1 200 OK|200|cookies=] error=Connection Closed Gracefully.";
    QTest::newRow("100 skipped, cookies of both heads")
        << QByteArray("HTTP/1.1 100 Continue\r\nSet-Cookie: a=1\r\n\r\n"
                      "HTTP/1.1 200 OK\r\nSet-Cookie: b=2\r\nSet-Cookie: c=3\r\n"
                      "Content-Length: 2\r\n\r\nok")
        << false
        << "[HTTP/1.1 100 Continue|100|cookies=a=1][HTTP/1.1 200 OK|200|cookies=b=2,c=3] body=ok "
           "headers=Set-Cookie: b=2|Set-Cookie: c=3|Content-Length: 2";
    QTest::newRow("other 1xx has no body and is final")
        << QByteArray("HTTP/1.1 101 Switching\r\n\r\nrest") << false
        << "[HTTP/1.1 101 Switching|101|cookies=] body= headers=";
    QTest::newRow("204 with chunked has no body")
        << QByteArray("HTTP/1.1 204 No Content\r\nTransfer-Encoding: chunked\r\n\r\n") << false
        << "[HTTP/1.1 204 No Content|204|cookies=] body= headers=Transfer-Encoding: chunked";
    QTest::newRow("304 with content-length has no body")
        << QByteArray("HTTP/1.1 304 Not Modified\r\nContent-Length: 10\r\n\r\n") << false
        << "[HTTP/1.1 304 Not Modified|304|cookies=] body= headers=Content-Length: 10";
    QTest::newRow("LF-only line ends") << QByteArray("HTTP/1.0 200 OK\nA: 1\n\nbody") << true
                                       << "[HTTP/1.0 200 OK|200|cookies=] body=body headers=A: 1";
    QTest::newRow("continuation lines join the previous header")
        << QByteArray("HTTP/1.0 200 OK\r\nX-Long: one\r\n two\r\n\tthree\r\n\r\n") << true
        << "[HTTP/1.0 200 OK|200|cookies=] body= headers=X-Long: one two three";
    QTest::newRow("bytes above 127 in the head read as ?")
        << QByteArray("HTTP/1.0 200 \xd0\x9e\xd0\x9a\r\nX: \xff\r\n\r\n") << true
        << "[HTTP/1.0 200 ????|200|cookies=] body= headers=X: ?";
    QTest::newRow("NUL inside a header is kept")
        << QByteArray("HTTP/1.0 200 OK\r\nX: a\0b\r\n\r\nz", 28) << true
        << QStringLiteral("[HTTP/1.0 200 OK|200|cookies=] body=z headers=X: a") + QChar(0)
            + QStringLiteral("b");
    QTest::newRow("close before the blank line: headers so far, no body")
        << QByteArray("HTTP/1.0 500 Oops\r\nSet-Cookie: s=1\r\nX: partial") << true
        << "[HTTP/1.0 500 Oops|500|cookies=s=1] body= headers=Set-Cookie: s=1";
    QTest::newRow("empty reply then close")
        << QByteArray() << true << " error=Connection Closed Gracefully.";
    QTest::newRow("close inside the status line")
        << QByteArray("HTTP/1.1 2") << true << " error=Connection Closed Gracefully.";
    QTest::newRow("close after a 100 head")
        << QByteArray("HTTP/1.1 100 Continue\r\n\r\n") << true
        << "[HTTP/1.1 100 Continue|100|cookies=] error=Connection Closed Gracefully.";
    QTest::newRow("bytes that are no status line")
        << QByteArray("\x16\x03\x01 garbage\r\n\r\n") << true
        << "[\x16\x03\x01 garbage|-1|cookies=] body= headers=";
    QTest::newRow("two equal content-lengths agree")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\nokXX")
        << false
        << "[HTTP/1.1 200 OK|200|cookies=] body=ok headers=Content-Length: 2|Content-Length: 2";
    QTest::newRow("two different content-lengths fail")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc")
        << true
        << "[HTTP/1.1 200 OK|200|cookies=] error=Invalid Content-Length in the reply: \"3\".";
    QTest::newRow("negative content-length fails, after the head's cookies")
        << QByteArray("HTTP/1.1 200 OK\r\nSet-Cookie: k=v\r\nContent-Length: -5\r\n\r\nabc") << true
        << "[HTTP/1.1 200 OK|200|cookies=k=v] error=Invalid Content-Length in the reply: \"-5\".";
    QTest::newRow("junk content-length fails")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\nabc") << true
        << "[HTTP/1.1 200 OK|200|cookies=] error=Invalid Content-Length in the reply: \"12abc\".";
    QTest::newRow("content-length past 64 bits fails")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\nabc") << true
        << "[HTTP/1.1 200 OK|200|cookies=] error=Invalid Content-Length in the reply: "
           "\"99999999999999999999\".";
    QTest::newRow("content-length past the body cap fails at once")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 268435457\r\n\r\n") << false
        << "[HTTP/1.1 200 OK|200|cookies=] error=Reply body exceeds 268435456 bytes.";
    QTest::newRow("content-length at the body cap is accepted")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 268435456\r\n\r\nab") << true
        << "[HTTP/1.1 200 OK|200|cookies=] body=ab headers=Content-Length: 268435456";
    QTest::newRow("chunk one past the body cap fails")
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10000001\r\n") << false
        << "[HTTP/1.1 200 OK|200|cookies=] error=Reply body exceeds 268435456 bytes.";
}

void TestHttpReply::framing()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, close);
    QFETCH(QString, expected);
    QCOMPARE(readWhole(reply, close), expected);
}

void TestHttpReply::sameResultAtEverySplit()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, close);
    QFETCH(QString, expected);
    for (qsizetype at = 0; at <= reply.size(); ++at) {
        HttpReplyReader reader;
        const QByteArrayView view(reply);
        QCOMPARE(outcome(reader, {view.first(at), view.sliced(at)}, close), expected);
    }
    QList<QByteArrayView> bytes;
    for (qsizetype i = 0; i < reply.size(); ++i)
        bytes.append(QByteArrayView(reply).sliced(i, 1));
    HttpReplyReader reader;
    QCOMPARE(outcome(reader, bytes, close), expected);
}

void TestHttpReply::limits_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("error");

    const qsizetype max = HttpReplyReader::MaxLineLength;
    const QByteArray status = "HTTP/1.0 200 ";
    QTest::newRow("status line at the line limit") << status + QByteArray(max - status.size(), 'x')
            + "\r\n\r\n" << QString();
    QTest::newRow("status line one past the line limit")
        << status + QByteArray(max + 1 - status.size(), 'x') + "\r\n\r\n"
        << "Max line length exceeded.";
    QTest::newRow("status line one past the limit with LF only")
        << status + QByteArray(max + 1 - status.size(), 'x') + "\n\n"
        << "Max line length exceeded.";
    QTest::newRow("endless status line without LF")
        << status + QByteArray(max + 2, 'x') << "Max line length exceeded.";
    QTest::newRow("100 KiB header line")
        << "HTTP/1.0 200 OK\r\nX: " + QByteArray(100 * 1024, 'h') + "\r\n\r\n"
        << "Max line length exceeded.";
    QTest::newRow("chunk line one past the line limit")
        << "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1;" + QByteArray(max - 1, 'e')
            + "\r\n"
        << "Max line length exceeded.";
    QTest::newRow("header lines at the limit")
        << "HTTP/1.0 200 OK\r\n" + headerLines(HttpReplyReader::MaxHeaderLines) + "\r\n"
        << QString();
    QTest::newRow("header lines one past the limit")
        << "HTTP/1.0 200 OK\r\n" + headerLines(HttpReplyReader::MaxHeaderLines + 1) + "\r\n"
        << "Max header lines exceeded.";
    QTest::newRow("5000 header lines") << "HTTP/1.0 200 OK\r\n" + headerLines(5000) + "\r\n"
                                       << "Max header lines exceeded.";
    QTest::newRow("trailer lines one past the limit")
        << "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n"
            + headerLines(HttpReplyReader::MaxHeaderLines + 1) + "\r\n"
        << "Max header lines exceeded.";
}

void TestHttpReply::limits()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, error);
    const QString result = readWhole(reply, true);
    if (error.isEmpty())
        QVERIFY2(!result.contains(QLatin1String("error=")), qPrintable(result.left(200)));
    else
        QVERIFY2(result.endsWith(QLatin1String("error=") + error), qPrintable(result.left(200)));
}

void TestHttpReply::closeDelimitedBodyPastCapFails()
{
    HttpReplyReader reader;
    reader.feed("HTTP/1.0 200 OK\r\n\r\n");
    QCOMPARE(reader.next(), HttpReplyReader::Event::Head);
    const QByteArray block(1024 * 1024, 'b');
    for (qint64 fed = 0; fed < HttpReplyReader::MaxBodyLength; fed += block.size()) {
        reader.feed(block);
        QCOMPARE(reader.next(), HttpReplyReader::Event::NeedMore);
    }
    reader.feed("b");
    try {
        reader.next();
        QFAIL("a body one byte past the cap was accepted");
    } catch (const Exception &e) {
        QCOMPARE(e.message(), QStringLiteral("Reply body exceeds 268435456 bytes."));
    }
}

void TestHttpReply::statusCode_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("code");
    QTest::newRow("usual") << "HTTP/1.1 404 Not Found" << 404;
    QTest::newRow("no reason") << "HTTP/1.0 200" << 200;
    QTest::newRow("negative") << "HTTP/1.1 -12 Odd" << -12;
    QTest::newRow("three nines") << "HTTP/1.1 999 Odd" << 999;
    QTest::newRow("100 digits") << "HTTP/1.1 " + QString(100, u'7') + " Odd" << -1;
    QTest::newRow("not a number") << "HTTP/1.1 OK" << -1;
    QTest::newRow("no space") << "HTTP/1.1" << -1;
    QTest::newRow("empty") << "" << -1;
}

void TestHttpReply::statusCode()
{
    QFETCH(QString, line);
    QFETCH(int, code);
    QCOMPARE(parseStatusCode(line), code);
}

void TestHttpReply::charsetRegistry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("registered");
    QTest::newRow("UTF-8") << "UTF-8" << true;
    QTest::newRow("utf-8 lower case") << "utf-8" << true;
    QTest::newRow("utf8 is only an ICU alias") << "utf8" << false;
    QTest::newRow("cp1251 is only an ICU alias") << "cp1251" << false;
    QTest::newRow("windows-1251") << "WINDOWS-1251" << true;
    QTest::newRow("KOI8-R") << "koi8-r" << true;
    QTest::newRow("ISO-8859-1") << "ISO-8859-1" << true;
    QTest::newRow("latin1 alias") << "latin1" << true;
    QTest::newRow("US-ASCII") << "us-ascii" << true;
    QTest::newRow("converter options are no name") << "ibm-1208,swaplfnl" << false;
    QTest::newRow("unknown") << "x-no-such-charset" << false;
    QTest::newRow("empty") << "" << false;
}

void TestHttpReply::charsetRegistry()
{
    QFETCH(QString, name);
    QFETCH(bool, registered);
    QCOMPARE(isRegisteredCharset(name), registered);
}

void TestHttpReply::decoding_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("charset");
    QTest::addColumn<QString>("text");

    const QByteArray cyrillicUtf8 = "\xd0\x9e\xd0\x9a"; // "ОК"
    const QString cyrillic = QStringLiteral("ОК");
    const QString perByte = QString::fromLatin1(cyrillicUtf8);
    auto reply = [](const QByteArray &contentType, const QByteArray &body) {
        QByteArray head = "HTTP/1.0 200 OK\r\n";
        if (!contentType.isNull())
            head += "Content-Type: " + contentType + "\r\n";
        return head + "\r\n" + body;
    };
    QTest::newRow("html utf-8 success") << reply("text/html; charset=UTF-8", "success") << "UTF-8"
                                        << "success";
    QTest::newRow("utf-8 byte-order mark is kept") << reply("text/html; charset=UTF-8",
        "\xef\xbb\xbfsuccess") << "UTF-8" << QStringLiteral("\uFEFFsuccess");
    QTest::newRow("UTF-16 little-endian byte-order mark is kept")
        << reply("text/plain; charset=UTF-16", QByteArray("\xff\xfeO\0K\0", 6)) << "UTF-16"
        << QStringLiteral("\uFEFFOK");
    QTest::newRow("UTF-16 big-endian byte-order mark is kept")
        << reply("text/plain; charset=utf-16", QByteArray("\xfe\xff\0O\0K", 6)) << "utf-16"
        << QStringLiteral("\uFEFFOK");
    QTest::newRow("UTF-16 without a byte-order mark is big-endian")
        << reply("text/plain; charset=UTF-16", QByteArray("\0O\0K", 4)) << "UTF-16"
        << "OK";
    QTest::newRow("UTF-32 byte-order mark is kept")
        << reply("text/plain; charset=UTF-32", QByteArray("\xff\xfe\0\0O\0\0\0", 8)) << "UTF-32"
        << QStringLiteral("\uFEFFO");
    QTest::newRow("text without charset: one character per byte")
        << reply("text/plain", cyrillicUtf8) << "ISO-8859-1" << perByte;
    QTest::newRow("utf8 is unregistered: one character per byte")
        << reply("text/plain; charset=utf8", cyrillicUtf8) << "utf8" << perByte;
    QTest::newRow("quoted charset")
        << reply("text/plain; charset=\"utf-8\"", cyrillicUtf8) << "utf-8" << cyrillic;
    QTest::newRow("windows-1251") << reply("text/plain; charset=windows-1251", "\xce\xca")
                                  << "windows-1251" << cyrillic;
    QTest::newRow("cp1251 is unregistered") << reply("text/plain; charset=cp1251", "\xce\xca")
                                            << "cp1251" << QString::fromLatin1("\xce\xca");
    QTest::newRow("KOI8-R") << reply("text/plain; charset=KOI8-R", "\xef\xeb") << "KOI8-R"
                            << cyrillic;
    QTest::newRow("US-ASCII gives ? above 127")
        << reply("text/plain; charset=US-ASCII", "a\xd0z") << "US-ASCII"
        << "a?z";
    QTest::newRow("no content-type: one character per byte")
        << reply(QByteArray(), cyrillicUtf8) << "" << perByte;
    QTest::newRow("non-text type without charset")
        << reply("application/octet-stream", cyrillicUtf8) << "" << perByte;
    QTest::newRow("text/xml defaults to us-ascii") << reply("text/xml", "<a>\xd0</a>") << "us-ascii"
                                                   << "<a>?</a>";
    QTest::newRow("application/xml from the declaration")
        << reply("application/xml; charset=UTF-8",
               "<?xml version=\"1.0\" encoding='windows-1251'?><a>\xce\xca</a>")
        << "windows-1251"
        << QStringLiteral("<?xml version=\"1.0\" encoding='windows-1251'?><a>ОК</a>");
    QTest::newRow("application/xml with a UTF-16LE byte-order mark") << reply("application/xml",
        QByteArray("\xff\xfe<\0a\0/\0>\0", 10)) << "UTF-16LE" << QStringLiteral("\uFEFF<a/>");
    QTest::newRow("+xml type without declaration is UTF-8")
        << reply("image/svg+xml", "<svg>" + cyrillicUtf8 + "</svg>") << "UTF-8"
        << "<svg>" + cyrillic + "</svg>";
    QTest::newRow("html META http-equiv sets the charset")
        << reply("text/html",
               "<html><head><!-- <meta http-equiv=\"Content-Type\" content=\"text/html; "
               "charset=KOI8-R\"> --><META HTTP-EQUIV=Content-Type "
               "CONTENT='text/html; charset=windows-1251'></head><body>\xce\xca</body></html>")
        << "windows-1251"
        << QStringLiteral("<html><head><!-- <meta http-equiv=\"Content-Type\" "
                          "content=\"text/html; charset=KOI8-R\"> --><META "
                          "HTTP-EQUIV=Content-Type CONTENT='text/html; "
                          "charset=windows-1251'></head><body>ОК</body></html>");
    QTest::newRow("META after the head is ignored")
        << reply("text/html; charset=UTF-8",
               "<html><body><meta http-equiv=\"Content-Type\" content=\"text/html; "
               "charset=KOI8-R\">"
                   + cyrillicUtf8)
        << "UTF-8"
        << "<html><body><meta http-equiv=\"Content-Type\" content=\"text/html; charset=KOI8-R\">"
            + cyrillic;
    QTest::newRow("META is not read for text/plain")
        << reply("text/plain; charset=UTF-8",
               "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=KOI8-R\">")
        << "UTF-8"
        << "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=KOI8-R\">";
}

void TestHttpReply::decoding()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, charset);
    QFETCH(QString, text);
    HttpReplyReader reader;
    reader.feed(reply);
    reader.feedEnd();
    while (reader.next() != HttpReplyReader::Event::Done) { }
    QCOMPARE(reader.charset(), charset);
    QCOMPARE(reader.text(), text);
}

QTEST_GUILESS_MAIN(TestHttpReply)
#include "tst_httpreply.moc"
