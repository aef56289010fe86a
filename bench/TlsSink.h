// A loopback https sink for bench_post: a throwaway self-signed certificate for 127.0.0.1
// and a server that takes one request at a time, reads its body and answers "success".
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace bench
{

struct SinkIdentity {
    EVP_PKEY *key = nullptr;
    X509 *certificate = nullptr;
};

[[noreturn]] inline void tlsFailure(const char *what)
{
    std::fprintf(stderr, "tls sink: %s\n", what);
    ERR_print_errors_fp(stderr);
    std::exit(2);
}

// A P-256 key and a certificate naming the address 127.0.0.1 (clients check the address,
// not the common name), valid from an hour ago for a day; the certificate is also written
// as PEM to `certificatePath`, for the clients to trust.
inline SinkIdentity makeSinkIdentity(const QString &certificatePath)
{
    SinkIdentity identity;
    identity.key = EVP_EC_gen("P-256");
    identity.certificate = X509_new();
    X509 *cert = identity.certificate;
    if (!identity.key || !cert)
        tlsFailure("no key");
    X509_set_version(cert, X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, identity.key);
    X509_NAME *name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(
        name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509V3_CTX extensions;
    X509V3_set_ctx_nodb(&extensions);
    X509V3_set_ctx(&extensions, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION *altName
        = X509V3_EXT_conf_nid(nullptr, &extensions, NID_subject_alt_name, "IP:127.0.0.1");
    if (!altName || X509_add_ext(cert, altName, -1) != 1
        || X509_sign(cert, identity.key, EVP_sha256()) <= 0)
        tlsFailure("cannot make the certificate");
    X509_EXTENSION_free(altName);
    FILE *out = std::fopen(certificatePath.toLocal8Bit().constData(), "w");
    if (!out || PEM_write_X509(out, cert) != 1)
        tlsFailure("cannot write the certificate");
    std::fclose(out);
    return identity;
}

// Serves each connection on `listenFd` in turn: handshake, the request head (answering an
// Expect: 100-continue), Content-Length bytes of body thrown away, a 200 reply, close.
// No ALPN, so every client speaks HTTP/1.x.
inline void runTlsSink(int listenFd, SinkIdentity identity)
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx || SSL_CTX_use_certificate(ctx, identity.certificate) != 1
        || SSL_CTX_use_PrivateKey(ctx, identity.key) != 1)
        tlsFailure("cannot set up the server");
    // Read ahead into a large buffer: several records per recv(), so the sink keeps pace.
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_default_read_buffer_len(ctx, 256 * 1024);
    // A client gone early must not end the benchmark with SIGPIPE; the mask is this
    // thread's alone, so the clients started from the main thread keep the default.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    static char buffer[256 * 1024];
    while (true) {
        // Close-on-exec: a client started meanwhile must not hold a connection open.
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        SSL *ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) != 1) {
            ERR_print_errors_fp(stderr);
            SSL_free(ssl);
            ::close(fd);
            continue;
        }
        QByteArray head;
        qint64 bodyLeft = -1;
        while (true) {
            const int got = SSL_read(ssl, buffer, int(sizeof buffer));
            if (got <= 0)
                break;
            if (bodyLeft < 0) {
                head.append(buffer, got);
                const qsizetype end = head.indexOf("\r\n\r\n");
                if (end < 0)
                    continue;
                qint64 length = 0;
                for (const QByteArray &line : head.left(end).split('\n')) {
                    const QByteArray lower = line.trimmed().toLower();
                    if (lower.startsWith("content-length:"))
                        length = lower.mid(15).trimmed().toLongLong();
                    if (lower.startsWith("expect:") && lower.contains("100-continue"))
                        SSL_write(ssl, "HTTP/1.1 100 Continue\r\n\r\n", 25);
                }
                bodyLeft = length - (head.size() - end - 4);
            } else {
                bodyLeft -= got;
            }
            if (bodyLeft <= 0) {
                const char reply[] = "HTTP/1.0 200 OK\r\nContent-Length: 7\r\n\r\nsuccess";
                SSL_write(ssl, reply, int(sizeof reply - 1));
                SSL_shutdown(ssl);
                break;
            }
        }
        SSL_free(ssl);
        ::close(fd);
    }
}

} // namespace bench
