#include "net/TlsConnection.h"

#include "net/NetErrors.h"
#include "net/Socket.h"

#include <QDateTime>
#include <QFile>
#include <QUrl>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <utility>

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

class TlsContext
{
public:
    explicit TlsContext(const TlsOptions &options)
        : options(options)
        , ctx(SSL_CTX_new(TLS_client_method()))
    {
    }
    ~TlsContext() { SSL_CTX_free(ctx); }
    TlsContext(const TlsContext &) = delete;
    TlsContext &operator=(const TlsContext &) = delete;

    const TlsOptions options;
    SSL_CTX *const ctx;
};

namespace
{

// The socket seen from OpenSSL. What the socket throws is kept here and raised again
// once OpenSSL has returned: an exception must not unwind through its frames.
struct SocketLink {
    Socket *socket = nullptr;
    std::exception_ptr failure;
    bool eof = false;    // the latest read found the peer's close
    bool noWait = false; // close_notify: sent only if the socket takes it at once
};

SocketLink *linkOf(BIO *bio)
{
    return static_cast<SocketLink *>(BIO_get_data(bio));
}

int linkWrite(BIO *bio, const char *data, int size)
{
    SocketLink *link = linkOf(bio);
    BIO_clear_retry_flags(bio);
    try {
        const qint64 sent = link->socket->sendSome(data, size, !link->noWait);
        return sent > 0 ? int(sent) : -1;
    } catch (...) {
        if (!link->failure)
            link->failure = std::current_exception();
        return -1;
    }
}

int linkRead(BIO *bio, char *buffer, int size)
{
    SocketLink *link = linkOf(bio);
    BIO_clear_retry_flags(bio);
    try {
        const qint64 received = link->socket->receive(buffer, size);
        link->eof = received == 0;
        return int(received);
    } catch (...) {
        if (!link->failure)
            link->failure = std::current_exception();
        return -1;
    }
}

long linkControl(BIO *bio, int command, long, void *)
{
    switch (command) {
    case BIO_CTRL_FLUSH: return 1; // nothing is buffered on this side of the socket
    case BIO_CTRL_EOF: return linkOf(bio)->eof ? 1 : 0; // tells a cut from a failed read
    default: return 0;
    }
}

BIO_METHOD *socketLinkMethod()
{
    static const std::unique_ptr<BIO_METHOD, decltype(&BIO_meth_free)> method = [] {
        const int type = BIO_get_new_index();
        BIO_METHOD *created
            = type < 0 ? nullptr : BIO_meth_new(type | BIO_TYPE_SOURCE_SINK, "unmz socket");
        if (created) {
            BIO_meth_set_write(created, linkWrite);
            BIO_meth_set_read(created, linkRead);
            BIO_meth_set_ctrl(created, linkControl);
        }
        return std::unique_ptr<BIO_METHOD, decltype(&BIO_meth_free)>(created, BIO_meth_free);
    }();
    return method.get();
}

// OpenSSL's English reason for a queued error, for the log.
QString errorText(unsigned long code, const char *fallback)
{
    if (code == 0)
        return QString::fromLatin1(fallback);
    if (ERR_SYSTEM_ERROR(code))
        return QString::fromLocal8Bit(std::strerror(ERR_GET_REASON(code)));
    if (const char *reason = ERR_reason_error_string(code))
        return QString::fromLatin1(reason);
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return QString::fromLatin1(text);
}

QString asn1Text(const ASN1_STRING *string)
{
    unsigned char *utf8 = nullptr;
    const int size = string ? ASN1_STRING_to_UTF8(&utf8, string) : -1;
    if (size < 0)
        return {};
    QString text = QString::fromUtf8(reinterpret_cast<const char *>(utf8), size);
    OPENSSL_free(utf8);
    return text;
}

// "CN=..., O=..., C=..." with the names' own characters (no escaped UTF-8).
QString nameLine(const X509_NAME *name)
{
    BIO *text = BIO_new(BIO_s_mem());
    if (!text)
        return {};
    X509_NAME_print_ex(text, name, 0,
        (ASN1_STRFLGS_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) | XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_DN_REV
            | XN_FLAG_FN_SN);
    char *data = nullptr;
    const long size = BIO_get_mem_data(text, &data);
    QString line = QString::fromUtf8(data, qsizetype(size));
    BIO_free(text);
    return line;
}

QString commonName(const X509_NAME *name)
{
    const int at = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    return at < 0 ? QString() : asn1Text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at)));
}

QString firstDnsName(X509 *certificate)
{
    auto *names = static_cast<GENERAL_NAMES *>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    QString found;
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names) && found.isEmpty(); ++i) {
        const GENERAL_NAME *name = sk_GENERAL_NAME_value(names, i);
        if (name->type == GEN_DNS)
            found = asn1Text(name->d.dNSName);
    }
    GENERAL_NAMES_free(names);
    return found;
}

QDateTime timeOf(const ASN1_TIME *time)
{
    tm parts{};
    if (!time || ASN1_TIME_to_tm(time, &parts) != 1)
        return {};
    return QDateTime(QDate(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday),
        QTime(parts.tm_hour, parts.tm_min, parts.tm_sec), Qt::UTC);
}

QByteArray sha256Of(X509 *certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!certificate || X509_digest(certificate, EVP_sha256(), digest, &size) != 1)
        return {};
    return QByteArray(reinterpret_cast<const char *>(digest), int(size));
}

// The leaf as the user is shown it; the dates of `dated`, the certificate whose dates
// failed (the leaf, but for an expired intermediate).
TlsError::Certificate describe(X509 *leaf, X509 *lastSent, X509 *dated)
{
    TlsError::Certificate certificate;
    certificate.subject = nameLine(X509_get_subject_name(leaf));
    certificate.issuer = nameLine(X509_get_issuer_name(leaf));
    certificate.name = firstDnsName(leaf);
    if (certificate.name.isEmpty())
        certificate.name = commonName(X509_get_subject_name(leaf));
    certificate.chainIssuer = commonName(X509_get_issuer_name(lastSent));
    if (certificate.chainIssuer.isEmpty())
        certificate.chainIssuer = nameLine(X509_get_issuer_name(lastSent));
    certificate.notBefore = timeOf(X509_get0_notBefore(dated));
    certificate.notAfter = timeOf(X509_get0_notAfter(dated));
    certificate.sha256 = sha256Of(leaf);
    return certificate;
}

TlsError::Kind kindOf(int verifyError)
{
    switch (verifyError) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_CERT_UNTRUSTED: return TlsError::Kind::Untrusted;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: return TlsError::Kind::WrongName;
    case X509_V_ERR_CERT_HAS_EXPIRED: return TlsError::Kind::Expired;
    case X509_V_ERR_CERT_NOT_YET_VALID: return TlsError::Kind::NotYetValid;
    default: return TlsError::Kind::Other;
    }
}

bool offersGost(const SSL_CTX *ctx)
{
    const STACK_OF(SSL_CIPHER) *ciphers = SSL_CTX_get_ciphers(ctx);
    for (int i = 0; ciphers && i < sk_SSL_CIPHER_num(ciphers); ++i) {
        if (std::strstr(SSL_CIPHER_get_name(sk_SSL_CIPHER_value(ciphers, i)), "GOST"))
            return true;
    }
    return false;
}

int verifyPeer(int ok, X509_STORE_CTX *store);

} // namespace

std::shared_ptr<TlsContext> newTlsContext(const TlsOptions &options, const QString &host)
{
    ERR_clear_error();
    auto context = std::make_shared<TlsContext>(options);
    SSL_CTX *ctx = context->ctx;
    if (!ctx || SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1)
        throw TlsError(TlsError::Kind::Other, host, errorText(ERR_get_error(), "No TLS context."));
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, verifyPeer);
    // A system without a trust store is no failure here: a pinned certificate still works.
    // The system's folder (or SSL_CERT_DIR) is read certificate by certificate as a chain
    // needs them; the whole bundle file is parsed only when SSL_CERT_FILE names one, which
    // saves every post a few tens of milliseconds and close to a megabyte.
    SSL_CTX_set_default_verify_dir(ctx);
    if (const char *file = std::getenv(X509_get_default_cert_file_env()); file && *file)
        SSL_CTX_load_verify_file(ctx, file);
    ERR_clear_error();
    if (!options.caFile.isEmpty()
        && SSL_CTX_load_verify_locations(
               ctx, QFile::encodeName(options.caFile).constData(), nullptr)
            != 1) {
        const QString reason = errorText(ERR_peek_error(), "no certificate found");
        ERR_clear_error();
        throw TlsError(TlsError::Kind::Other, host,
            QStringLiteral("Cannot load the CA file \"%1\": %2").arg(options.caFile, reason));
    }
    return context;
}

class TlsConnectionPrivate
{
public:
    TlsConnectionPrivate(std::shared_ptr<TlsContext> context, Socket &socket)
        : context(std::move(context))
        , ssl(this->context->ctx ? SSL_new(this->context->ctx) : nullptr)
    {
        link.socket = &socket;
    }
    ~TlsConnectionPrivate() { SSL_free(ssl); }

    // Whether the user chose to accept this leaf whatever the verification says.
    bool accepts(X509 *leaf);
    [[noreturn]] void raiseHandshakeFailure();
    [[noreturn]] void raiseTransferFailure();

    struct Rejection {
        int error;
        TlsError::Certificate certificate;
    };

    const std::shared_ptr<TlsContext> context;
    SSL *const ssl;
    SocketLink link;
    QString host;
    std::optional<QByteArray> leafSha256;
    std::optional<Rejection> rejection; // the first verification error
    bool broken = false;                // no close_notify after a failure
    bool endedWithoutNotify = false;
};

namespace
{

int verifyPeer(int ok, X509_STORE_CTX *store)
{
    const auto *ssl = static_cast<const SSL *>(
        X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto *d = ssl ? static_cast<TlsConnectionPrivate *>(SSL_get_app_data(ssl)) : nullptr;
    if (ok == 1 || !d)
        return ok;
    try {
        X509 *leaf = X509_STORE_CTX_get0_cert(store);
        if (d->accepts(leaf))
            return 1;
        if (!d->rejection) {
            const int error = X509_STORE_CTX_get_error(store);
            // The chain as the server sent it, leaf first: its end names who it claims to
            // be signed by.
            STACK_OF(X509) *sent = X509_STORE_CTX_get0_untrusted(store);
            X509 *lastSent
                = sent && sk_X509_num(sent) > 0 ? sk_X509_value(sent, sk_X509_num(sent) - 1) : leaf;
            X509 *current = X509_STORE_CTX_get_current_cert(store);
            const bool dateError
                = error == X509_V_ERR_CERT_HAS_EXPIRED || error == X509_V_ERR_CERT_NOT_YET_VALID;
            d->rejection = TlsConnectionPrivate::Rejection{
                error, describe(leaf, lastSent, dateError && current ? current : leaf)};
        }
    } catch (...) {
        // Out of memory: the handshake fails all the same.
    }
    return 0;
}

} // namespace

bool TlsConnectionPrivate::accepts(X509 *leaf)
{
    if (!leafSha256)
        leafSha256 = sha256Of(leaf);
    const TlsOptions &options = context->options;
    return !leafSha256->isEmpty()
        && (*leafSha256 == options.pinnedSha256 || options.trustedSha256.contains(*leafSha256));
}

void TlsConnectionPrivate::raiseHandshakeFailure()
{
    broken = true;
    const unsigned long code = ERR_peek_error();
    ERR_clear_error();
    if (rejection) {
        throw TlsError(kindOf(rejection->error), host,
            QString::fromLatin1(X509_verify_cert_error_string(rejection->error)),
            rejection->certificate);
    }
    if (link.failure)
        std::rethrow_exception(std::exchange(link.failure, nullptr));
    TlsError::Kind kind = TlsError::Kind::Other;
    bool gostMaybe = false;
    if (ERR_GET_LIB(code) == ERR_LIB_SSL) {
        switch (ERR_GET_REASON(code)) {
        case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
        case SSL_R_UNSUPPORTED_PROTOCOL:
        case SSL_R_NO_PROTOCOLS_AVAILABLE:
        case SSL_R_VERSION_TOO_LOW: kind = TlsError::Kind::Protocol; break;
        case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE: gostMaybe = !offersGost(context->ctx); break;
        default: break;
        }
    }
    throw TlsError(kind, host, errorText(code, "The TLS handshake failed."), {}, gostMaybe);
}

void TlsConnectionPrivate::raiseTransferFailure()
{
    broken = true;
    const unsigned long code = ERR_peek_error();
    ERR_clear_error();
    if (link.failure)
        std::rethrow_exception(std::exchange(link.failure, nullptr));
    throw TransportError(errorText(code, "The TLS connection failed."));
}

TlsConnection::TlsConnection(std::shared_ptr<TlsContext> context, Socket &socket)
    : d(std::make_unique<TlsConnectionPrivate>(std::move(context), socket))
{
}

TlsConnection::~TlsConnection() = default;

void TlsConnection::handshake(const QString &host)
{
    d->host = host;
    ERR_clear_error();
    BIO *bio = d->ssl ? BIO_new(socketLinkMethod()) : nullptr;
    if (!bio)
        d->raiseHandshakeFailure();
    BIO_set_data(bio, &d->link);
    BIO_set_init(bio, 1);
    SSL_set_bio(d->ssl, bio, bio);
    SSL_set_app_data(d->ssl, d.get());

    X509_VERIFY_PARAM *verify = SSL_get0_param(d->ssl);
    const QByteArray latin = host.toLatin1();
    in_addr address{};
    if (host == QString::fromLatin1(latin)
        && ::inet_pton(AF_INET, latin.constData(), &address) == 1) {
        // An address: no server name to send, the certificate must name the address.
        X509_VERIFY_PARAM_set1_ip_asc(verify, latin.constData());
    } else {
        const QByteArray ace = QUrl::toAce(host);
        SSL_set_tlsext_host_name(d->ssl, ace.constData());
        X509_VERIFY_PARAM_set_hostflags(verify, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        X509_VERIFY_PARAM_set1_host(verify, ace.constData(), size_t(ace.size()));
    }
    if (SSL_connect(d->ssl) != 1)
        d->raiseHandshakeFailure();
    ERR_clear_error();
}

void TlsConnection::write(const char *data, qint64 size)
{
    while (size > 0) {
        ERR_clear_error();
        const int written = SSL_write(d->ssl, data, int(qMin<qint64>(size, INT_MAX)));
        if (written <= 0)
            d->raiseTransferFailure();
        data += written;
        size -= written;
    }
}

qint64 TlsConnection::read(char *buffer, qint64 capacity)
{
    d->endedWithoutNotify = false;
    ERR_clear_error();
    const int received = SSL_read(d->ssl, buffer, int(qMin<qint64>(capacity, INT_MAX)));
    if (received > 0)
        return received;
    if (SSL_get_error(d->ssl, received) == SSL_ERROR_ZERO_RETURN)
        return 0; // close_notify
    if (d->link.eof && !d->link.failure) {
        d->broken = true;
        d->endedWithoutNotify = true;
        ERR_clear_error();
        return 0;
    }
    d->raiseTransferFailure();
}

bool TlsConnection::endedWithoutNotify() const
{
    return d->endedWithoutNotify;
}

bool TlsConnection::hasBufferedBytes() const
{
    return d->ssl && SSL_has_pending(d->ssl) == 1;
}

void TlsConnection::close()
{
    if (d->broken || !d->ssl || !SSL_is_init_finished(d->ssl) || d->link.socket->isAborted())
        return;
    d->broken = true;
    d->link.noWait = true;
    ERR_clear_error();
    SSL_shutdown(d->ssl);
    ERR_clear_error();
    d->link.failure = nullptr;
}
