#include "net/FormPostClient.h"

#include "net/NetErrors.h"
#include "support/ScriptedServer.h"
#include "support/TestFiles.h"
#include "support/Watchdog.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <mutex>
#include <thread>

#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

QByteArray ok(const QByteArray &body)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n"
        + body;
}

// A loopback TLS peer, one connection at a time: the handshake, then the request and
// `reply`, or, when it does not read, nothing until the
// client goes. Records each handshake's "server name|request".
class TlsServer
{
public:
    TlsServer(const QString &cert, int version = 0, QByteArray reply = ok("success"),
        bool closeNotify = true, bool reads = true)
        : m_reply(std::move(reply))
        , m_closeNotify(closeNotify)
        , m_reads(reads)
    {
        SSL_CTX_set_security_level(m_ctx, 0); // lets a row offer TLS 1.1
        SSL_CTX_set_min_proto_version(m_ctx, version);
        SSL_CTX_set_max_proto_version(m_ctx, version);
        SSL_CTX_use_certificate_chain_file(m_ctx, qPrintable(cert + ".pem"));
        SSL_CTX_use_PrivateKey_file(m_ctx, qPrintable(cert + ".key"), SSL_FILETYPE_PEM);
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        ::bind(m_listen, reinterpret_cast<sockaddr *>(&address), length);
        ::listen(m_listen, 8);
        ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~TlsServer()
    {
        ::shutdown(m_listen, SHUT_RDWR); // ends the accept()
        m_thread.join();
        ::close(m_listen);
        SSL_CTX_free(m_ctx);
    }
    QString url(const QString &host = QStringLiteral("127.0.0.1")) const
    {
        return QStringLiteral("https://%1:%2/QuorvelFiles").arg(host).arg(m_port);
    }
    QList<QByteArray> handshakes() const
    {
        std::lock_guard lock(m_lock);
        return m_handshakes;
    }

private:
    void run()
    {
        // A write to a client that has gone raises SIGPIPE in this thread alone, held.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        for (int fd; (fd = ::accept(m_listen, nullptr, nullptr)) >= 0; ::close(fd)) {
            const timeval limit{5, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            SSL *ssl = SSL_new(m_ctx);
            SSL_set_fd(ssl, fd);
            pollfd gone{fd, POLLRDHUP, 0};
            if (SSL_accept(ssl) == 1 && (m_reads || ::poll(&gone, 1, 20000) < 0))
                serve(ssl);
            SSL_free(ssl);
        }
    }
    void serve(SSL *ssl)
    {
        QByteArray request; // every form this test posts ends in its closing "--" CR LF
        for (char buffer[65536]; !request.endsWith("--\r\n");) {
            const int got = SSL_read(ssl, buffer, sizeof buffer);
            if (got <= 0)
                break;
            request.append(buffer, got);
        }
        const char *name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
        {
            std::lock_guard lock(m_lock);
            m_handshakes.append(QByteArray(name ? name : "") + '|' + request);
        }
        if (!request.isEmpty())
            SSL_write(ssl, m_reply.constData(), int(m_reply.size()));
        if (m_closeNotify)
            SSL_shutdown(ssl);
    }

    SSL_CTX *m_ctx = SSL_CTX_new(TLS_server_method());
    QByteArray m_reply;
    bool m_closeNotify;
    bool m_reads;
    int m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    quint16 m_port = 0;
    mutable std::mutex m_lock;
    QList<QByteArray> m_handshakes;
    std::thread m_thread;
};

QTemporaryDir certificates;

QString cert(const QString &name)
{
    return certificates.filePath(name);
}

// A form of one text field, or of that and a file of the certificates' folder.
std::unique_ptr<MultipartForm> form(const QString &file = {})
{
    auto form = std::make_unique<MultipartForm>();
    form->addTextField(QStringLiteral("action"), QStringLiteral("loadFile"));
    if (!file.isEmpty())
        form->addFile(QStringLiteral("file"), cert(file), QStringLiteral("application/pdf"));
    return form;
}

QByteArray sha256(const QString &name)
{
    QFile file(cert(name) + ".pem");
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = file.readAll().split('\n');
    return QCryptographicHash::hash(
        QByteArray::fromBase64(lines.mid(1, lines.size() - 3).join()), QCryptographicHash::Sha256);
}

// "ok:" and the reply, "error:" and the message, or the TLS failure's kind and the detail
// the user is shown for it.
QString outcome(const std::function<QString()> &attempt, const QString &leaf = {})
{
    try {
        return QStringLiteral("ok:") + attempt();
    } catch (const TlsError &e) {
        const TlsError::Certificate &c = e.certificate();
        if (e.certificateProblem() && (c.sha256 != sha256(leaf) || !c.subject.startsWith("CN=")))
            return QStringLiteral("certificate not described");
        switch (e.kind()) {
        case TlsError::Kind::Untrusted: return "Untrusted:" + c.chainIssuer;
        case TlsError::Kind::WrongName: return "WrongName:" + c.name;
        case TlsError::Kind::Expired: return "Expired:" + c.notAfter.toString(Qt::ISODate);
        case TlsError::Kind::Protocol: return QStringLiteral("Protocol");
        default: return "Other:" + e.message();
        }
    } catch (const Exception &e) {
        return QStringLiteral("error:") + e.message();
    }
}

} // namespace

class TestTls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void verification_data();
    void verification();
    void replyEnds_data();
    void replyEnds();
    void secureCookiesOverHttpsOnly();
    void abortEndsAtOnce_data();
    void abortEndsAtOnce();
};

void TestTls::initTestCase()
{
    // "openssl ca" signs the leaves: it alone sets any dates, so also past ones.
    writeFile(cert("tls.cnf"),
        "[req]\ndistinguished_name = dn\nprompt = no\n[dn]\nCN = unused\n"
        "[ca_ext]\nbasicConstraints = critical, CA:TRUE\n[ca]\ndefault_ca = test_ca\n"
        "[test_ca]\ndatabase = index.txt\nnew_certs_dir = .\ncertificate = ca.pem\n"
        "private_key = ca.key\nserial = serial.txt\ndefault_md = sha256\npolicy = any_name\n"
        "copy_extensions = copy\nunique_subject = no\nx509_extensions = leaf_ext\n"
        "[any_name]\ncommonName = supplied\n[leaf_ext]\nbasicConstraints = CA:FALSE\n");
    writeFile(cert("serial.txt"), "01\n");
    writeFile(cert("index.txt"), "");
    const auto openssl = [](const QString &command) {
        QProcess process;
        process.setWorkingDirectory(certificates.path());
        process.start(QStringLiteral("openssl"), QProcess::splitCommand(command));
        return process.waitForFinished(30000) && process.exitCode() == 0;
    };
    const QString key = " -config tls.cnf -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
    QVERIFY(openssl("req -x509 -extensions ca_ext -days 30 -keyout ca.key -out ca.pem" + key
        + " -subj \"/CN=Test Office Root CA\""));
    QVERIFY(openssl("req -x509 -extensions ca_ext -days 30 -keyout self.key -out self.pem" + key
        + " -subj /CN=Self -addext subjectAltName=IP:127.0.0.1"));
    const auto leaf = [&](const QString &name, const QString &names, const QString &dates) {
        return openssl("req -new -keyout " + name + ".key -out " + name + ".csr" + key
                   + " -subj /CN=leaf -addext subjectAltName=" + names)
            && openssl("ca -batch -config tls.cnf -notext -in " + name + ".csr -out " + name
                + ".pem " + dates);
    };
    QVERIFY(leaf("good", "IP:127.0.0.1,DNS:localhost", "-days 30"));
    QVERIFY(leaf("wrong", "DNS:other.example", "-days 30"));
    QVERIFY(leaf("expired", "IP:127.0.0.1", "-startdate 20200101000000Z -enddate 20200201000000Z"));
    QByteArray numbers;
    for (int i = 0; numbers.size() < 200000; ++i)
        numbers += QByteArray::number(i) + ' ';
    writeFile(cert("numbers.pdf"), numbers);
    QFile large(cert("large.pdf"));
    QVERIFY(large.open(QIODevice::WriteOnly) && large.resize(64 * 1024 * 1024));
}

void TestTls::verification_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("leaf");
    QTest::addColumn<int>("version");     // the server's only version; 0: 1.2 and 1.3
    QTest::addColumn<QString>("options"); // "ca": the CA file; "pin:X", "trust:X": X's SHA-256
    QTest::addColumn<QString>("result");  // of the post; a check ends alike

    const QString ip = "127.0.0.1", good = "ok:success", untrusted = "Untrusted:Self";
    QTest::newRow("chain to the CA file") << ip << "good" << 0 << "ca" << good;
    QTest::newRow("by name") << "localhost"
                             << "good" << 0 << "ca" << good;
    QTest::newRow("system store only: untrusted, named by the chain's issuer")
        << ip << "good" << 0 << ""
        << "Untrusted:Test Office Root CA";
    QTest::newRow("self-signed") << ip << "self" << 0 << "" << untrusted;
    QTest::newRow("wrong address") << ip << "wrong" << 0 << "ca"
                                   << "WrongName:other.example";
    QTest::newRow("wrong name") << "localhost"
                                << "wrong" << 0 << "ca"
                                << "WrongName:other.example";
    QTest::newRow("expired") << ip << "expired" << 0 << "ca"
                             << "Expired:2020-02-01T00:00:00Z";
    QTest::newRow("pinned self-signed") << ip << "self" << 0 << "pin:self" << good;
    QTest::newRow("pinned wrong name") << ip << "wrong" << 0 << "ca pin:wrong" << good;
    QTest::newRow("trusted for the session, expired")
        << ip << "expired" << 0 << "trust:expired" << good;
    QTest::newRow("another certificate's pin")
        << ip << "self" << 0 << "pin:good trust:good" << untrusted;
    QTest::newRow("TLS 1.2 only") << ip << "good" << TLS1_2_VERSION << "ca" << good;
    QTest::newRow("TLS 1.3 only") << ip << "good" << TLS1_3_VERSION << "ca" << good;
    QTest::newRow("TLS 1.1 only") << ip << "good" << TLS1_1_VERSION << "ca"
                                  << "Protocol";
}

void TestTls::verification()
{
    QFETCH(QString, host);
    QFETCH(QString, leaf);
    QFETCH(int, version);
    QFETCH(QString, options);
    QFETCH(QString, result);
    TlsServer server(cert(leaf), version);
    FormPostClient client;
    TlsOptions tls;
    for (const QString &option : options.split(u' ', Qt::SkipEmptyParts)) {
        if (option == u"ca")
            tls.caFile = cert("ca.pem");
        else if (option.startsWith(u"pin:"))
            tls.pinnedSha256 = sha256(option.mid(4));
        else
            tls.trustedSha256 = {sha256(option.mid(6))};
    }
    client.setTlsOptions(tls);
    // A text block, then file stretches read over TLS in three 64 KiB blocks and a bit.
    const std::unique_ptr<MultipartForm> numbers = form("numbers.pdf");
    QByteArray body;
    const std::unique_ptr<FormBodyStream> stream = numbers->openBody();
    for (QByteArray block; stream->nextBytes(block);)
        body += block;

    const QString url = server.url(host);
    const QString checked = outcome([&] { return client.checkServer(url), QString(); }, leaf);
    QCOMPARE(outcome([&] { return client.post(url, *numbers); }, leaf), result);
    QCOMPARE(checked, result.startsWith("ok:") ? QStringLiteral("ok:") : result);
    if (result.startsWith("ok:")) {
        const QByteArray name = host == u"127.0.0.1" ? "" : host.toLatin1();
        const QByteArray head = requestHead(QStringLiteral("/QuorvelFiles"), numbers->contentType(),
            numbers->bodyLength(), QUrl(url).authority(), std::nullopt);
        QCOMPARE(server.handshakes(), QList<QByteArray>({name + '|', name + '|' + head + body}));
        QCOMPARE(client.bodyBytesSent(), numbers->bodyLength());
    } else {
        QCOMPARE(server.handshakes(), QList<QByteArray>());
    }
}

void TestTls::replyEnds_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("closeNotify");
    QTest::addColumn<QString>("result"); // and the bytes missing from the announced length

    const QByteArray closeEnds = "HTTP/1.0 200 OK\r\n\r\nall of it";
    QTest::newRow("close_notify ends a close-delimited body")
        << closeEnds << true << "ok:all of it 0";
    QTest::newRow("bare close inside a close-delimited body")
        << closeEnds << false << "error:Connection Closed Gracefully. 0";
    QTest::newRow("bare close after the Content-Length") << ok("whole") << false << "ok:whole 0";
    QTest::newRow("bare close before the Content-Length")
        << QByteArray("HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nshort") << false << "ok:short 4";
}

void TestTls::replyEnds()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, closeNotify);
    QFETCH(QString, result);
    TlsServer server(cert("good"), 0, reply, closeNotify);
    FormPostClient client;
    client.setTlsOptions({cert("ca.pem"), {}, {}});
    const QString posted = outcome([&] { return client.post(server.url(), *form()); });
    const auto cut = client.lastReplyShortfall();
    QCOMPARE(
        QStringLiteral("%1 %2").arg(posted).arg(cut ? cut->announced - cut->received : 0), result);
}

void TestTls::secureCookiesOverHttpsOnly()
{
    TlsServer https(cert("good"), 0,
        "HTTP/1.0 200 OK\r\nSet-Cookie: s=1; Secure\r\nSet-Cookie: p=2\r\nContent-Length: "
        "0\r\n\r\n");
    ScriptedServer http;
    http.addScript(ScriptedServer::reply(ok("")));
    FormPostClient client;
    client.setTlsOptions({cert("ca.pem"), {}, {}});
    for (const QString &url : {https.url(), https.url(), http.url()})
        QCOMPARE(outcome([&] { return client.post(url, *form()); }), QStringLiteral("ok:"));
    QVERIFY(https.handshakes().at(1).contains("\r\nCookie: s=1; p=2\r\n"));
    QVERIFY(http.request(0).contains("\r\nCookie: p=2\r\n"));
}

void TestTls::abortEndsAtOnce_data()
{
    QTest::addColumn<bool>("handshake"); // whether the server completes one
    QTest::newRow("handshake the server never answers") << false;
    QTest::newRow("file body the server stops reading") << true;
}

void TestTls::abortEndsAtOnce()
{
    QFETCH(bool, handshake);
    TlsServer tls(cert("good"), 0, {}, true, false);
    ScriptedServer silent;
    silent.addScript({ScriptedServer::holdOpen(20000)});
    FormPostClient client;
    client.setTlsOptions({cert("ca.pem"), {}, {}});
    QElapsedTimer sinceAbort;
    std::thread aborter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sinceAbort.start();
        client.abort();
    });
    const QString url
        = handshake ? tls.url() : QStringLiteral("https://127.0.0.1:%1/x").arg(silent.port());
    QString result;
    {
        const Watchdog watchdog(20, "an aborted https post");
        result = outcome([&] { return client.post(url, *form("large.pdf")); });
        aborter.join();
    }
    QCOMPARE(
        result, QStringLiteral("error:Socket Error # 10053\r\nSoftware caused connection abort."));
    QVERIFY2(sinceAbort.elapsed() < 5000, qPrintable(QString::number(sinceAbort.elapsed())));
    QCOMPARE(client.bodyBytesSent() > 0, handshake);
}

QTEST_GUILESS_MAIN(TestTls)
#include "tst_tls.moc"
