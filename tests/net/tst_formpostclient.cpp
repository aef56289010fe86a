#include "net/FormPostClient.h"

#include "diag/Exception.h"
#include "net/HttpUrl.h"
#include "net/NetErrors.h"
#include "net/Socket.h"
#include "support/ScriptedServer.h"
#include "support/Watchdog.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <future>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace
{

const QByteArray FormType = "multipart/form-data; boundary=--------120926183046218";

// A body held in memory, handed out in blocks of at most 32768 bytes.
class MemoryBody : public FormBodyStream
{
public:
    explicit MemoryBody(QByteArray bytes)
        : m_bytes(std::move(bytes))
    {
    }
    bool next(FormBlock &block) override
    {
        if (m_at >= m_bytes.size())
            return false;
        block = FormBlock();
        block.bytes = m_bytes.mid(m_at, MultipartForm::BlockSize);
        block.length = block.bytes.size();
        m_at += block.length;
        return true;
    }

private:
    QByteArray m_bytes;
    qsizetype m_at = 0;
};

// One stretch of an open file, as a file field hands it out; the stretch may run past
// the file's end, as when the file shrank after it was counted.
class FileStretchBody : public FormBodyStream
{
public:
    FileStretchBody(int fd, qint64 length)
        : m_fd(fd)
        , m_length(length)
    {
    }
    bool next(FormBlock &block) override
    {
        if (m_offset >= m_length)
            return false;
        block = FormBlock();
        block.fd = m_fd;
        block.offset = m_offset;
        block.length = qMin(m_length - m_offset, MultipartForm::BlockSize);
        m_offset += block.length;
        return true;
    }

private:
    int m_fd;
    qint64 m_length;
    qint64 m_offset = 0;
};

// The outcome of one post as comparable text.
QString postOutcome(FormPostClient &client, const QString &url, const QByteArray &body = "b")
{
    MemoryBody stream(body);
    try {
        return QStringLiteral("ok:") + client.post(url, FormType, body.size(), stream);
    } catch (const ProtocolError &e) {
        return QStringLiteral("protocol:%1:%2:%3").arg(e.code()).arg(e.message(), e.body());
    } catch (const Exception &e) {
        return QStringLiteral("error:") + e.message();
    }
}

QByteArray expectedHead(
    const QByteArray &target, const QByteArray &host, qint64 length, const QByteArray &cookie = {})
{
    QByteArray head = "POST " + target + " HTTP/1.0\r\n" + "Connection: keep-alive\r\n"
        + "Content-Type: " + FormType + "\r\n" + "Content-Length: " + QByteArray::number(length)
        + "\r\n" + "Host: " + host + "\r\n"
        + "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
        + "Accept-Encoding: identity\r\n"
        + "User-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n";
    if (!cookie.isEmpty())
        head += "Cookie: " + cookie + "\r\n";
    return head + "\r\n";
}

QByteArray ok(const QByteArray &body)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

using Script = ScriptedServer::Script;
using S = ScriptedServer;

} // namespace

Q_DECLARE_METATYPE(ScriptedServer::Script)

class TestFormPostClient : public QObject
{
    Q_OBJECT

private slots:
    void urlResolution_data();
    void urlResolution();
    void headerFolding_data();
    void headerFolding();
    void requestBytesOnTheWire();
    void formBytesOnTheWire();
    void fileStretchesAreSentAsIs();
    void fileShorterThanCountedFails();
    void peerClosingWhileFileIsSentIsNoSignal();
    void replies_data();
    void replies();
    void connectionRefused();
    void hostNotFound();
    void httpsToAPlainServerFailsTheHandshake();
    void everyPostOpensItsOwnConnection();
    void keepAliveRule_data();
    void keepAliveRule();
    void cookieFromErrorReplyIsSentNext();
    void clientUsableAfterFailure();
    void emptyBaseAddress();
    void redirectBodyNotWaitedForPastTheLimit();
    void serverRejectsWhileBodyIsSent();
    void successBeforeTheBodyWentOutFails();
    void hostResolution_data();
    void hostResolution();
    void socketErrorMessages_data();
    void socketErrorMessages();
    void abortWhileWaitingForTheReply();
    void abortWhileSendingTheBody();
    void abortBeforePostIsFinal();
    void lookupThatNeverAnswersIsAbandonedOnAbort();
    void fileReadErrorEndsThePostAtOnce_data();
    void fileReadErrorEndsThePostAtOnce();
    void sendFileFailures_data();
    void sendFileFailures();
    void addressWithControlCharacterSendsNothing_data();
    void addressWithControlCharacterSendsNothing();
};

void TestFormPostClient::urlResolution_data()
{
    QTest::addColumn<QString>("previous");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("result"); // "target|host header|connect port" or the error

    QTest::newRow("absolute, default port") << ""
                                            << "http://srv/QuorvelFiles"
                                            << "/QuorvelFiles|srv|80";
    QTest::newRow("absolute with port") << ""
                                        << "http://127.0.0.1:8080/QuorvelFiles"
                                        << "/QuorvelFiles|127.0.0.1:8080|8080";
    QTest::newRow("port text kept exactly in Host") << ""
                                                    << "http://srv:080/x"
                                                    << "/x|srv:080|80";
    QTest::newRow("port that is no number connects to 80") << ""
                                                           << "http://srv:abc/x"
                                                           << "/x|srv:abc|80";
    QTest::newRow("last port") << ""
                               << "http://srv:65535/x"
                               << "/x|srv:65535|65535";
    // A port past the last one must not wrap round or fall back to another service.
    QTest::newRow("one past the last port")
        << ""
        << "http://srv:65536/x"
        << "Socket Error # 10049\r\nCannot assign requested address.";
    QTest::newRow("port of more digits than any number")
        << ""
        << "http://srv:99999999999999999999999/x"
        << "Socket Error # 10049\r\nCannot assign requested address.";
    QTest::newRow("no path at all") << ""
                                    << "http://srv:81"
                                    << "/|srv:81|81";
    QTest::newRow("backslashes before the query become slashes") << ""
                                                                 << "http://srv\\a\\b.php?x=\\y#z"
                                                                 << "/a/b.php?x=\\y#z|srv|80";
    QTest::newRow("fragment dropped from the document") << ""
                                                        << "http://srv/d/doc#frag"
                                                        << "/d/doc|srv|80";
    QTest::newRow("query and spaces sent verbatim") << ""
                                                    << "http://srv/p?a b&c=%41"
                                                    << "/p?a b&c=%41|srv|80";
    QTest::newRow("user information is not sent") << ""
                                                  << "http://u:p@srv/x"
                                                  << "/x|srv|80";
    QTest::newRow("server address ending in a slash") << ""
                                                      << "http://srv:8080//QuorvelFiles"
                                                      << "//QuorvelFiles|srv:8080|8080";
    QTest::newRow("path reference on an empty target") << ""
                                                       << "/QuorvelFiles"
                                                       << "Unknown Protocol";
    QTest::newRow("unknown scheme on an empty target") << ""
                                                       << "ftp://srv/x"
                                                       << "Unknown Protocol";
    QTest::newRow("path reference keeps host and port") << "http://srv:8080/a/b"
                                                        << "/QuorvelFiles"
                                                        << "/QuorvelFiles|srv:8080|8080";
    QTest::newRow("relative path appended to the directory") << "http://srv/a/b"
                                                             << "sub/doc?q"
                                                             << "/a/sub/doc?q|srv|80";
    QTest::newRow("unknown scheme keeps the target's port") << "http://srv:8080/a"
                                                            << "ftp://other/x"
                                                            << "/x|other:8080|8080";
    QTest::newRow("https, default port left out of Host") << ""
                                                          << "https://srv/x"
                                                          << "/x|srv|443";
    QTest::newRow("https in capitals with a port") << ""
                                                   << "HTTPS://srv:8443/x"
                                                   << "/x|srv:8443|8443";
    QTest::newRow("path reference after an https URL") << "https://srv/a"
                                                       << "/x"
                                                       << "/x|srv|443";
}

void TestFormPostClient::urlResolution()
{
    QFETCH(QString, previous);
    QFETCH(QString, url);
    QFETCH(QString, result);
    HttpTarget target;
    if (!previous.isEmpty()) {
        try {
            resolveUrl(target, previous);
        } catch (const Exception &) {
            // a refused URL still becomes the target
        }
    }
    QString actual;
    try {
        resolveUrl(target, url);
        actual = requestTarget(target) + u'|' + hostHeaderValue(target) + u'|'
            + QString::number(connectPort(target));
    } catch (const Exception &e) {
        actual = e.message();
    }
    QCOMPARE(actual, result);
}

void TestFormPostClient::headerFolding_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("lines");
    QTest::addColumn<bool>("fits"); // every line within the limit

    auto cookies = [](int count) {
        QByteArray value = "Cookie: ";
        for (int i = 0; i < count; ++i)
            value += (i ? "; " : "") + QByteArray("name") + QByteArray::number(i) + "=value";
        return value;
    };
    const QByteArray atLimit = "Cookie: " + QByteArray(MaxRequestHeaderLine - 10, 'a') + " b";
    QTest::newRow("line at the limit is not folded") << atLimit << 1 << true;
    QTest::newRow("one past the limit is folded") << atLimit + "c" << 2 << true;
    QTest::newRow("long cookie header") << cookies(400) << 6 << true;
    QTest::newRow("no break point past the name: stays long")
        << "Cookie: " + QByteArray(3000, 'x') << 2 << false;
    QTest::newRow("never inside double quotes")
        << "Cookie: a=\"" + QByteArray(600, 'x') + " " + QByteArray(600, 'y') + "\" ,z" << 3
        << false;
    QTest::newRow("comma and tab are break points") << "Cookie: " + QByteArray(1000, 'x') + ","
            + QByteArray(1000, 'y') + "\t"
            + QByteArray(1000, 'z') << 3 << true;
}

void TestFormPostClient::headerFolding()
{
    QFETCH(QByteArray, line);
    QFETCH(int, lines);
    QFETCH(bool, fits);
    const QList<QByteArray> folded = foldHeaderLine(line);
    QCOMPARE(folded.size(), lines);
    QByteArray unfolded = folded.first();
    for (qsizetype i = 1; i < folded.size(); ++i) {
        QVERIFY(folded.at(i).startsWith(' '));
        unfolded += folded.at(i).mid(1);
    }
    QCOMPARE(unfolded, line); // nothing lost, nothing added but the leading spaces
    for (const QByteArray &part : folded) {
        QVERIFY(part.count('"') % 2 == 0);
        if (fits)
            QVERIFY(part.size() <= MaxRequestHeaderLine);
    }
}

void TestFormPostClient::requestBytesOnTheWire()
{
    ScriptedServer server;
    server.addScript(S::reply("HTTP/1.1 200 OK\r\nSet-Cookie: sid=abc; Path=/\r\n"
                              "Content-Length: 7\r\n\r\nsuccess"));
    server.addScript(S::reply(ok("success")));
    FormPostClient client;
    const QByteArray body(70000, 'q'); // three blocks
    QCOMPARE(postOutcome(client, server.url(), body), QStringLiteral("ok:success"));
    QCOMPARE(server.request(0),
        expectedHead("/QuorvelFiles", "127.0.0.1:" + QByteArray::number(server.port()), body.size())
            + body);
    // The second post carries the cookie; characters above 127 go out as "?".
    QCOMPARE(postOutcome(client, server.url(QStringLiteral("/папка/doc?x=ё")), "z"),
        QStringLiteral("ok:success"));
    QCOMPARE(server.request(1),
        expectedHead(
            "/\?\?\?\?\?/doc?x=?", "127.0.0.1:" + QByteArray::number(server.port()), 1, "sid=abc")
            + "z");
}

void TestFormPostClient::formBytesOnTheWire()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("document.pdf"));
    QByteArray content;
    for (int i = 0; i < 100000; ++i)
        content += char(i * 7);
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    MultipartForm form;
    form.addTextField(QStringLiteral("action"), QStringLiteral("loadFile"));
    form.addFile(QStringLiteral("file"), path, QStringLiteral("application/pdf"));
    QByteArray formBytes;
    {
        auto stream = form.openBody();
        QByteArray block;
        while (stream->nextBytes(block))
            formBytes += block;
    }
    QCOMPARE(formBytes.size(), form.bodyLength());

    ScriptedServer server;
    server.addScript(S::reply(ok("success")));
    FormPostClient client;
    client.setRequestContentType(QStringLiteral("text/plain")); // no effect on the wire
    // Posting leaves the form as it was: the second post sends the same bytes.
    for (int post = 0; post < 2; ++post) {
        QCOMPARE(client.post(server.url(), form), QStringLiteral("success"));
        const QByteArray head = requestHead(QStringLiteral("/QuorvelFiles"), form.contentType(),
            form.bodyLength(), QStringLiteral("127.0.0.1:%1").arg(server.port()), std::nullopt);
        QCOMPARE(server.request(post), head + formBytes);
    }
}

void TestFormPostClient::fileStretchesAreSentAsIs()
{
    QTemporaryFile file;
    QVERIFY(file.open());
    QByteArray content;
    for (int i = 0; i < 100000; ++i)
        content += char('a' + i % 26);
    file.write(content);
    file.flush();
    ScriptedServer server;
    server.addScript(S::reply(ok("success")));
    FormPostClient client;
    FileStretchBody body(file.handle(), content.size());
    QCOMPARE(client.bodyBytesSent(), 0);
    QCOMPARE(client.post(server.url(), FormType, content.size(), body), QStringLiteral("success"));
    QVERIFY(server.request(0).endsWith("\r\n\r\n" + content));
    // The progress count ends at the body's length, and a new post starts it afresh.
    QCOMPARE(client.bodyBytesSent(), content.size());
    server.addScript(S::reply(ok("success")));
    FileStretchBody shorter(file.handle(), 10);
    QCOMPARE(client.post(server.url(), FormType, 10, shorter), QStringLiteral("success"));
    QCOMPARE(client.bodyBytesSent(), 10);
}

void TestFormPostClient::fileShorterThanCountedFails()
{
    QTemporaryFile file;
    QVERIFY(file.open());
    file.write(QByteArray(40000, 'f'));
    file.flush();
    ScriptedServer server;
    server.addScript(S::reply(ok("success")));
    FormPostClient client;
    FileStretchBody body(file.handle(), 50000);
    try {
        client.post(server.url(), FormType, 50000, body);
        QFAIL("a short file was posted");
    } catch (const Exception &e) {
        QCOMPARE(e.message(), QStringLiteral("No data to read."));
    }
    QVERIFY(!client.isConnected());
}

void TestFormPostClient::peerClosingWhileFileIsSentIsNoSignal()
{
    QTemporaryFile file;
    QVERIFY(file.open());
    QVERIFY(file.resize(64 * 1024 * 1024));
    ScriptedServer server;
    server.addScript({S::readHead(), S::reset()});
    FormPostClient client;
    FileStretchBody body(file.handle(), file.size());
    try {
        client.post(server.url(), FormType, file.size(), body);
        QFAIL("a post to a closed peer succeeded");
    } catch (const SocketError &e) {
        QVERIFY2(e.errorCode() == 10053 || e.errorCode() == 10054, qPrintable(e.message()));
    }
}

void TestFormPostClient::replies_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<QString>("outcome");

    QTest::newRow("2xx returns the decoded body")
        << S::reply(ok("\xd1\x83\xd1\x81\xd0\xbf\xd0\xb5\xd1\x85")) << "ok:успех";
    QTest::newRow("204 returns the empty text")
        << S::reply("HTTP/1.1 204 No Content\r\n\r\n") << "ok:";
    QTest::newRow("404 is a protocol error with status line, code and body")
        << S::reply("HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\n\r\nno such page")
        << "protocol:404:HTTP/1.1 404 Not Found:no such page";
    QTest::newRow("302 fails with its status line and body")
        << S::reply("HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 5\r\n\r\nmoved")
        << "protocol:302:HTTP/1.1 302 Found:moved";
    QTest::newRow("100 then 200") << S::reply("HTTP/1.1 100 Continue\r\n\r\n" + ok("success"))
                                  << "ok:success";
    QTest::newRow("other 1xx is a protocol error")
        << Script{S::readRequest(), S::send("HTTP/1.1 103 Early Hints\r\n\r\n"), S::holdOpen(3000)}
        << "protocol:103:HTTP/1.1 103 Early Hints:";
    QTest::newRow("reply dripped one byte at a time") << Script{S::readRequest(),
        S::drip("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                "3\r\nsuc\r\n4\r\ncess\r\n0\r\n\r\n")} << "ok:success";
    QTest::newRow("close-delimited body")
        << S::reply("HTTP/1.0 200 OK\r\n\r\nline1\r\nline2") << "ok:line1\r\nline2";
    QTest::newRow("content-length with the socket left open returns at the length")
        << Script{S::readRequest(), S::send(ok("success")), S::holdOpen(20000)} << "ok:success";
    QTest::newRow("close before the content-length: shorter body")
        << S::reply("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort") << "ok:short";
    QTest::newRow("html with a META charset")
        << S::reply("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html><head><meta "
                    "http-equiv=\"Content-Type\" content=\"text/html; "
                    "charset=windows-1251\"></head>\xce\xca</html>")
        << "ok:<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
           "charset=windows-1251\"></head>ОК</html>";
    QTest::newRow("xml with a byte-order mark") << S::reply(
        "HTTP/1.1 200 OK\r\nContent-Type: application/xml\r\n\r\n"
        "\xef\xbb\xbf<a>\xd0\x9e</a>") << QStringLiteral("ok:\uFEFF<a>О</a>");
    // Hostile replies.
    QTest::newRow("empty reply then close")
        << S::reply("") << "error:Connection Closed Gracefully.";
    QTest::newRow("reset instead of a reply") << Script{
        S::readRequest(), S::reset()} << "error:Socket Error # 10054\r\nConnection reset by peer.";
    QTest::newRow("bytes that are no status line")
        << S::reply("SSH-2.0-OpenSSH\r\n\r\n") << "protocol:-1:SSH-2.0-OpenSSH:";
    QTest::newRow("status -12") << S::reply("HTTP/1.1 -12 Odd\r\n\r\nx")
                                << "protocol:-12:HTTP/1.1 -12 Odd:x";
    QTest::newRow("status 999") << S::reply("HTTP/1.1 999 Odd\r\n\r\nx")
                                << "protocol:999:HTTP/1.1 999 Odd:x";
    QTest::newRow("status 100 digits long")
        << S::reply("HTTP/1.1 " + QByteArray(100, '2') + " Odd\r\n\r\nx")
        << "protocol:-1:HTTP/1.1 " + QString(100, u'2') + " Odd:x";
    QTest::newRow("LF-only line ends")
        << S::reply("HTTP/1.0 200 OK\nX: 1\n\nsuccess") << "ok:success";
    QTest::newRow("NUL inside a header")
        << S::reply(QByteArray("HTTP/1.0 200 OK\r\nX: a\0b\r\n\r\nsuccess", 34)) << "ok:success";
    QTest::newRow("100 KiB header line")
        << S::reply("HTTP/1.0 200 OK\r\nX: " + QByteArray(100 * 1024, 'h') + "\r\n\r\n")
        << "error:Max line length exceeded.";
    QTest::newRow("endless status line with the socket left open")
        << Script{S::readRequest(), S::send(QByteArray(100 * 1024, 'h')), S::holdOpen(20000)}
        << "error:Max line length exceeded.";
    QByteArray manyLines;
    for (int i = 0; i < 5000; ++i)
        manyLines += "X-" + QByteArray::number(i) + ": v\r\n";
    QTest::newRow("5000 header lines") << S::reply("HTTP/1.0 200 OK\r\n" + manyLines + "\r\n")
                                       << "error:Max header lines exceeded.";
    QTest::newRow("close before the blank line")
        << S::reply("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n") << "ok:";
    QTest::newRow("content-length larger than sent, then close")
        << S::reply("HTTP/1.0 200 OK\r\nContent-Length: 9000\r\n\r\nsuccess") << "ok:success";
    QTest::newRow("negative content-length")
        << S::reply("HTTP/1.0 200 OK\r\nContent-Length: -1\r\n\r\nsuccess")
        << "error:Invalid Content-Length in the reply: \"-1\".";
    QTest::newRow("junk content-length")
        << S::reply("HTTP/1.0 200 OK\r\nContent-Length: seven\r\n\r\nsuccess")
        << "error:Invalid Content-Length in the reply: \"seven\".";
    QTest::newRow("content-length past 64 bits")
        << S::reply("HTTP/1.0 200 OK\r\nContent-Length: 18446744073709551617\r\n\r\nsuccess")
        << "error:Invalid Content-Length in the reply: \"18446744073709551617\".";
    QTest::newRow("two different content-lengths")
        << S::reply("HTTP/1.0 200 OK\r\nContent-Length: 7\r\nContent-Length: 3\r\n\r\nsuccess")
        << "error:Invalid Content-Length in the reply: \"3\".";
    QTest::newRow("chunked together with content-length") << S::reply(
        "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n"
        "7\r\nsuccess\r\n0\r\n\r\n") << "ok:success";
    QTest::newRow("junk chunk size ends the body") << S::reply(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
        "7\r\nsuccess\r\nnonsense\r\n\r\n") << "ok:success";
    QTest::newRow("chunk size past 64 bits") << S::reply(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
        "123456789abcdef0123\r\nsuccess") << "error:Reply body exceeds 268435456 bytes.";
    QTest::newRow("close inside a chunked body")
        << S::reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7\r\nsuc")
        << "error:Connection Closed Gracefully.";
    QTest::newRow("204 with chunked and no body") << Script{S::readRequest(),
        S::send("HTTP/1.1 204 No Content\r\nTransfer-Encoding: chunked\r\n\r\n"),
        S::holdOpen(20000)} << "ok:";
    QTest::newRow("304 with a content-length") << Script{S::readRequest(),
        S::send("HTTP/1.1 304 Not Modified\r\nContent-Length: 50\r\n\r\n"), S::holdOpen(20000)}
                                               << "protocol:304:HTTP/1.1 304 Not Modified:";
    QTest::newRow("body past the cap")
        << S::reply("HTTP/1.1 200 OK\r\nContent-Length: 268435457\r\n\r\nx")
        << "error:Reply body exceeds 268435456 bytes.";
}

void TestFormPostClient::replies()
{
    QFETCH(Script, script);
    QFETCH(QString, outcome);
    ScriptedServer server;
    server.addScript(script);
    FormPostClient client;
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(postOutcome(client, server.url()), outcome);
    // No reply that has ended waits for the server to close.
    QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(server.connectionCount(), 1);
}

void TestFormPostClient::connectionRefused()
{
    quint16 port;
    {
        ScriptedServer closed;
        port = closed.port();
    }
    FormPostClient client;
    QCOMPARE(postOutcome(client, QStringLiteral("http://localhost:%1/x").arg(port)),
        QStringLiteral("error:Socket Error # 10061\r\nConnection refused."));
}

void TestFormPostClient::hostNotFound()
{
    FormPostClient client;
    QCOMPARE(postOutcome(client, QStringLiteral("http://no-such-host.invalid/x")),
        QStringLiteral("error:Socket Error # 11001\r\nHost not found."));
}

void TestFormPostClient::httpsToAPlainServerFailsTheHandshake()
{
    ScriptedServer server;
    server.addScript({S::send("HTTP/1.1 400 Bad Request\r\n\r\n"), S::holdOpen(5000)});
    FormPostClient client;
    MemoryBody body("b");
    try {
        client.post(QStringLiteral("https://127.0.0.1:%1/x").arg(server.port()), FormType, 1, body);
        QFAIL("no TLS failure");
    } catch (const TlsError &e) {
        QCOMPARE(e.kind(), TlsError::Kind::Other);
        QCOMPARE(e.message(), QStringLiteral("wrong version number"));
    }
    QCOMPARE(server.connectionCount(), 1);
    QVERIFY(!client.isConnected());
}

void TestFormPostClient::everyPostOpensItsOwnConnection()
{
    ScriptedServer server;
    server.addScript({S::readRequest(),
        S::send("HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Length: 7\r\n\r\nsuccess"),
        S::holdOpen(20000)});
    server.addScript(S::reply(ok("second")));
    FormPostClient client;
    QCOMPARE(postOutcome(client, server.url()), QStringLiteral("ok:success"));
    QCOMPARE(postOutcome(client, server.url()), QStringLiteral("ok:second"));
    QCOMPARE(server.connectionCount(), 2);
    QVERIFY(server.waitClientClosed(0, 5000)); // the kept connection was closed first
}

void TestFormPostClient::keepAliveRule_data()
{
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<bool>("kept");
    const QByteArray ok = "200 OK";
    QTest::newRow("Connection keep-alive")
        << ok << QByteArray("Connection:  Keep-Alive \r\n") << true;
    QTest::newRow("Connection close") << ok << QByteArray("Connection: close\r\n") << false;
    QTest::newRow("no header") << ok << QByteArray() << false;
    QTest::newRow("Proxy-Connection when Connection is absent")
        << ok << QByteArray("Proxy-Connection: keep-alive\r\n") << true;
    QTest::newRow("Connection wins over Proxy-Connection")
        << ok << QByteArray("Connection: close\r\nProxy-Connection: keep-alive\r\n") << false;
    QTest::newRow("failed post with keep-alive keeps the connection")
        << QByteArray("500 Internal Server Error") << QByteArray("Connection: keep-alive\r\n")
        << true;
    QTest::newRow("failed post without keep-alive closes it")
        << QByteArray("404 Not Found") << QByteArray() << false;
}

void TestFormPostClient::keepAliveRule()
{
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, headers);
    QFETCH(bool, kept);
    ScriptedServer server;
    server.addScript({S::readRequest(),
        S::send("HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: 2\r\n\r\nok"),
        S::holdOpen(20000)});
    {
        FormPostClient client;
        const QString expected = status.startsWith("200")
            ? QStringLiteral("ok:ok")
            : QStringLiteral("protocol:%1:HTTP/1.1 %2:ok")
                  .arg(QString::fromLatin1(status.left(3)), QString::fromLatin1(status));
        QCOMPARE(postOutcome(client, server.url()), expected);
        QCOMPARE(client.isConnected(), kept);
        QCOMPARE(server.waitClientClosed(0, kept ? 300 : 5000), !kept);
    }
    QVERIFY(server.waitClientClosed(0, 5000)); // destroying the client closes it
}

void TestFormPostClient::cookieFromErrorReplyIsSentNext()
{
    ScriptedServer server;
    server.addScript(S::reply("HTTP/1.1 500 Internal Server Error\r\nSet-Cookie: JSESSIONID=42\r\n"
                              "Content-Length: 4\r\n\r\nfail"));
    server.addScript(S::reply(ok("success")));
    FormPostClient client;
    QCOMPARE(postOutcome(client, server.url()),
        QStringLiteral("protocol:500:HTTP/1.1 500 Internal Server Error:fail"));
    QCOMPARE(postOutcome(client, server.url()), QStringLiteral("ok:success"));
    QVERIFY(server.request(1).contains("\r\nCookie: JSESSIONID=42\r\n"));
}

void TestFormPostClient::clientUsableAfterFailure()
{
    ScriptedServer server;
    server.addScript({S::readRequest(),
        S::send("HTTP/1.1 200 OK\r\nSet-Cookie: s=1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab"),
        S::reset()});
    server.addScript(S::reply(ok("success")));
    FormPostClient client;
    const QString first = postOutcome(client, server.url(QStringLiteral("/app/QuorvelFiles")));
    QVERIFY2(first.startsWith(QLatin1String("error:")), qPrintable(first));
    // Same target and cookies: a path reference reaches the same server.
    QCOMPARE(
        postOutcome(client, QStringLiteral("/app/QuorvelFiles")), QStringLiteral("ok:success"));
    QVERIFY(server.request(1).startsWith("POST /app/QuorvelFiles HTTP/1.0\r\n"));
    QVERIFY(server.request(1).contains("\r\nCookie: s=1\r\n"));
}

void TestFormPostClient::emptyBaseAddress()
{
    ScriptedServer server;
    server.addScript(S::reply(ok("success")));
    FormPostClient fresh;
    QCOMPARE(postOutcome(fresh, QStringLiteral("/QuorvelFiles")),
        QStringLiteral("error:Unknown Protocol"));
    FormPostClient used;
    QCOMPARE(postOutcome(used, server.url(QStringLiteral("/first"))), QStringLiteral("ok:success"));
    QCOMPARE(postOutcome(used, QStringLiteral("/QuorvelFiles")), QStringLiteral("ok:success"));
    QVERIFY(server.request(1).startsWith("POST /QuorvelFiles HTTP/1.0\r\n"));
    QVERIFY(server.request(1).contains(
        "\r\nHost: 127.0.0.1:" + QByteArray::number(server.port()) + "\r\n"));
}

void TestFormPostClient::redirectBodyNotWaitedForPastTheLimit()
{
    ScriptedServer server;
    server.addScript({S::readRequest(), S::send("HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n"),
        S::pause(FormPostClient::RedirectBodyWaitMs + 1500), S::send("late body"),
        S::holdOpen(20000)});
    FormPostClient client;
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(postOutcome(client, server.url()), QStringLiteral("protocol:302:HTTP/1.1 302 Found:"));
    QVERIFY(timer.elapsed() >= FormPostClient::RedirectBodyWaitMs - 100);
    QVERIFY(timer.elapsed() < FormPostClient::RedirectBodyWaitMs + 1000);
    QCOMPARE(server.connectionCount(), 1); // no redirect followed
}

void TestFormPostClient::serverRejectsWhileBodyIsSent()
{
    ScriptedServer server;
    server.addScript({S::readHead(),
        S::send("HTTP/1.1 413 Request Entity Too Large\r\nContent-Length: 8\r\n\r\ntoo big."),
        S::close()});
    FormPostClient client;
    const QString outcome = postOutcome(client, server.url(), QByteArray(64 * 1024 * 1024, 'x'));
    QCOMPARE(
        outcome, QStringLiteral("protocol:413:HTTP/1.1 413 Request Entity Too Large:too big."));
}

void TestFormPostClient::successBeforeTheBodyWentOutFails()
{
    ScriptedServer server;
    server.addScript({S::readHead(), S::send(ok("success")), S::close()});
    FormPostClient client;
    const QString outcome = postOutcome(client, server.url(), QByteArray(64 * 1024 * 1024, 'x'));
    QVERIFY2(outcome.startsWith(QLatin1String("error:Socket Error # 1005")), qPrintable(outcome));
}

void TestFormPostClient::hostResolution_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("address");
    QTest::newRow("loopback name") << "localhost"
                                   << "127.0.0.1";
    QTest::newRow("loopback name in any case") << "LocalHost"
                                               << "127.0.0.1";
    QTest::newRow("dotted address as it stands") << "10.20.30.40"
                                                 << "10.20.30.40";
    QTest::newRow("unknown name") << "no-such-host.invalid"
                                  << "11001";
    QTest::newRow("empty name") << ""
                                << "11001";
    QTest::newRow("IPv6 literal is not an IPv4 host") << "[::1]"
                                                      << "11001";
}

void TestFormPostClient::hostResolution()
{
    QFETCH(QString, host);
    QFETCH(QString, address);
    QString actual;
    try {
        const quint32 ip = Socket::resolveIPv4(host);
        actual = QStringLiteral("%1.%2.%3.%4")
                     .arg(ip >> 24)
                     .arg((ip >> 16) & 255)
                     .arg((ip >> 8) & 255)
                     .arg(ip & 255);
    } catch (const SocketError &e) {
        actual = QString::number(e.errorCode());
    }
    QCOMPARE(actual, address);
}

void TestFormPostClient::socketErrorMessages_data()
{
    QTest::addColumn<int>("posixError");
    QTest::addColumn<QString>("message");
    QTest::newRow("refused") << int(ECONNREFUSED) << "Socket Error # 10061\r\nConnection refused.";
    QTest::newRow("reset") << int(ECONNRESET)
                           << "Socket Error # 10054\r\nConnection reset by peer.";
    QTest::newRow("broken pipe is an abort")
        << int(EPIPE) << "Socket Error # 10053\r\nSoftware caused connection abort.";
    QTest::newRow("timed out") << int(ETIMEDOUT) << "Socket Error # 10060\r\nConnection timed out.";
    QTest::newRow("no route") << int(EHOSTUNREACH) << "Socket Error # 10065\r\nNo route to host.";
    QTest::newRow("number outside the table has no description")
        << int(ENOMEDIUM) << QStringLiteral("Socket Error # %1\r\n").arg(ENOMEDIUM);
}

void TestFormPostClient::socketErrorMessages()
{
    QFETCH(int, posixError);
    QFETCH(QString, message);
    const int code = Socket::windowsErrorCode(posixError);
    const SocketError error(code ? code : posixError);
    QCOMPARE(error.message(), message);
    QVERIFY(!error.message().contains(QLatin1String("Socket error"))); // kept out of the net log
}

void TestFormPostClient::abortWhileWaitingForTheReply()
{
    ScriptedServer server;
    server.addScript({S::readRequest(), S::holdOpen(20000)});
    FormPostClient client;
    std::thread aborter([&client] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        client.abort();
    });
    QElapsedTimer timer;
    timer.start();
    const QString outcome = postOutcome(client, server.url());
    aborter.join();
    QCOMPARE(
        outcome, QStringLiteral("error:Socket Error # 10053\r\nSoftware caused connection abort."));
    QVERIFY(timer.elapsed() < 5000);
}

void TestFormPostClient::abortWhileSendingTheBody()
{
    ScriptedServer server;
    server.addScript({S::readHead(), S::holdOpen(20000)}); // never reads the body
    FormPostClient client;
    std::thread aborter([&client] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        client.abort();
    });
    const QString outcome = postOutcome(client, server.url(), QByteArray(64 * 1024 * 1024, 'x'));
    aborter.join();
    QCOMPARE(
        outcome, QStringLiteral("error:Socket Error # 10053\r\nSoftware caused connection abort."));
}

void TestFormPostClient::abortBeforePostIsFinal()
{
    ScriptedServer server;
    FormPostClient client;
    client.abort();
    QCOMPARE(postOutcome(client, server.url()),
        QStringLiteral("error:Socket Error # 10053\r\nSoftware caused connection abort."));
    QTest::qWait(100);
    QCOMPARE(server.connectionCount(), 0);
}

void TestFormPostClient::lookupThatNeverAnswersIsAbandonedOnAbort()
{
    ScriptedServer server;
    auto release = std::make_shared<std::promise<void>>();
    const std::shared_future<void> released = release->get_future().share();
    auto asked = std::make_shared<std::atomic<bool>>(false);
    FormPostClient client;
    SocketSeams seams;
    seams.lookup = [released, asked](const QByteArray &) -> std::optional<quint32> {
        *asked = true;
        released.wait();
        return std::nullopt;
    };
    client.setSocketSeams(seams);

    QElapsedTimer sinceAbort;
    std::thread aborter([&] {
        for (int i = 0; i < 500 && !*asked; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        sinceAbort.start();
        client.abort();
    });
    QString outcome;
    {
        const Watchdog watchdog(20, "a post waiting on the resolver");
        outcome
            = postOutcome(client, QStringLiteral("http://service.example:%1/x").arg(server.port()));
        aborter.join();
    }
    QVERIFY(*asked);
    QVERIFY2(sinceAbort.elapsed() < 5000, qPrintable(QString::number(sinceAbort.elapsed())));
    QCOMPARE(
        outcome, QStringLiteral("error:Socket Error # 10053\r\nSoftware caused connection abort."));
    QCOMPARE(server.connectionCount(), 0);
    release->set_value();
}

void TestFormPostClient::fileReadErrorEndsThePostAtOnce_data()
{
    QTest::addColumn<bool>("viaForm");
    QTest::newRow("file field named by the path it was added with") << true;
    QTest::newRow("bare file stretch named by its descriptor") << false;
}

void TestFormPostClient::fileReadErrorEndsThePostAtOnce()
{
    QFETCH(bool, viaForm);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("document.pdf"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(QByteArray(100000, 'd')), 100000);
    }
    ScriptedServer server;
    // A client that waited for a reply would wait until the server gives up.
    server.addScript({S::readHead(), S::holdOpen(20000)});
    FormPostClient client;
    SocketSeams seams;
    seams.sendFile = [](int, int, off_t *, size_t) -> ssize_t {
        errno = EIO;
        return -1;
    };
    client.setSocketSeams(seams);

    QString outcome;
    QElapsedTimer timer;
    timer.start();
    {
        const Watchdog watchdog(60, "a post whose file failed");
        try {
            if (viaForm) {
                MultipartForm form;
                form.addTextField(QStringLiteral("action"), QStringLiteral("loadFile"));
                form.addFile(QStringLiteral("file"), path, QStringLiteral("application/pdf"));
                client.post(server.url(), form);
            } else {
                QFile file(path);
                QVERIFY(file.open(QIODevice::ReadOnly));
                FileStretchBody body(file.handle(), file.size());
                client.post(server.url(), FormType, file.size(), body);
            }
            outcome = QStringLiteral("posted");
        } catch (const SocketError &e) {
            outcome = QStringLiteral("socket:") + e.message();
        } catch (const Exception &e) {
            outcome = e.message();
        }
    }
    const QString name = viaForm ? path : QFileInfo(path).canonicalFilePath();
    QCOMPARE(outcome, QStringLiteral("Cannot read file \"%1\". Input/output error").arg(name));
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(server.waitClientClosed(0, 5000));
    QVERIFY(!client.isConnected());
}

void TestFormPostClient::sendFileFailures_data()
{
    QTest::addColumn<int>("error");       // what sendfile() fails with, from its first call
    QTest::addColumn<QString>("outcome"); // "posted", or the post's error
    // A file system that cannot feed sendfile(): the file goes through a buffer instead.
    QTest::newRow("sendfile not supported for the file") << int(EINVAL) << "posted";
    QTest::newRow("sendfile not implemented") << int(ENOSYS) << "posted";
    // The connection stays open after these: the post must still end, with the error.
    QTest::newRow("no buffer space")
        << int(ENOBUFS) << "Socket Error # 10055\r\nNo buffer space available.";
    QTest::newRow("no memory") << int(ENOMEM) << "Socket Error # 12\r\n";
}

void TestFormPostClient::sendFileFailures()
{
    QFETCH(int, error);
    QFETCH(QString, outcome);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("document.pdf"));
    QByteArray content;
    for (int i = 0; content.size() < 200000; ++i)
        content += QByteArray::number(i) + ' ';
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(content), content.size());
    }
    MultipartForm form;
    form.addTextField(QStringLiteral("action"), QStringLiteral("loadFile"));
    form.addFile(QStringLiteral("data"), path, QStringLiteral("application/pdf"));

    // As the service does: the whole body by its Content-Length, then the answer.
    ScriptedServer server;
    server.addScript({S::readRequest(), S::send(ok("success")), S::close()});
    FormPostClient client;
    SocketSeams seams;
    seams.sendFile = [error](int, int, off_t *, size_t) -> ssize_t {
        errno = error;
        return -1;
    };
    client.setSocketSeams(seams);
    QString actual;
    {
        const Watchdog watchdog(60, "a post whose sendfile() failed");
        try {
            client.post(server.url(), form);
            actual = QStringLiteral("posted");
        } catch (const Exception &e) {
            actual = e.message();
        }
    }
    QCOMPARE(actual, outcome);
    if (outcome == u"posted") {
        const QByteArray request = server.request(0);
        QVERIFY(request.contains("\r\n\r\n" + content + "\r\n--"));
        QCOMPARE(request.size() - request.indexOf("\r\n\r\n") - 4, form.bodyLength());
    }
}

void TestFormPostClient::addressWithControlCharacterSendsNothing_data()
{
    QTest::addColumn<QString>("url"); // %1: the server's port

    QTest::newRow("CR LF adding a header")
        << "http://127.0.0.1:%1/QuorvelFiles HTTP/1.0\r\nX-Injected: yes\r\nX-Rest:";
    QTest::newRow("line feed alone") << "http://127.0.0.1:%1/QuorvelFiles\nX-Injected: yes";
    QTest::newRow("carriage return in the query") << "http://127.0.0.1:%1/QuorvelFiles?a=1\rX";
    QTest::newRow("base address ending in a line break") << "http://127.0.0.1:%1\r\n/QuorvelFiles";
    QTest::newRow("space in the path") << "http://127.0.0.1:%1/Quorvel Files";
    QTest::newRow("tab in the host") << "http://127.0.0.1\t:%1/QuorvelFiles";
    QTest::newRow("NUL") << QStringLiteral("http://127.0.0.1:%1/a") + QChar(0) + QLatin1String("b");
    QTest::newRow("DEL") << "http://127.0.0.1:%1/a\x7f";
    QTest::newRow("escape") << "http://127.0.0.1:%1/a\x1b[0m";
}

void TestFormPostClient::addressWithControlCharacterSendsNothing()
{
    QFETCH(QString, url);
    ScriptedServer server;
    server.addScript(S::reply(ok("success")));
    FormPostClient client;
    QCOMPARE(postOutcome(client, server.url(QStringLiteral("/first/QuorvelFiles"))),
        QStringLiteral("ok:success"));
    QCOMPARE(postOutcome(client, url.arg(server.port())),
        QStringLiteral("error:Invalid character in the URL."));
    QTest::qWait(100);
    QCOMPARE(server.connectionCount(), 1);
    // The refused address left the target as it was: a path reference still reaches it.
    QCOMPARE(postOutcome(client, QStringLiteral("next")), QStringLiteral("ok:success"));
    QCOMPARE(server.connectionCount(), 2);
    QVERIFY(server.request(1).startsWith("POST /first/next HTTP/1.0\r\n"));
    QVERIFY(!server.request(1).contains("X-Injected"));
}

QTEST_GUILESS_MAIN(TestFormPostClient)
#include "tst_formpostclient.moc"
