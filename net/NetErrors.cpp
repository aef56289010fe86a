#include "net/NetErrors.h"

#include <QLocale>

#include <cstring>
#include <utility>

namespace
{

const char *socketErrorText(int code)
{
    switch (code) {
    case 10004: return "Interrupted system call.";
    case 10009: return "Bad file number.";
    case 10013: return "Access denied.";
    case 10014: return "Buffer fault.";
    case 10022: return "Invalid argument.";
    case 10024: return "Too many open files.";
    case 10035: return "Operation would block.";
    case 10036: return "Operation now in progress.";
    case 10037: return "Operation already in progress.";
    case 10038: return "Socket operation on non-socket.";
    case 10039: return "Destination address required.";
    case 10040: return "Message too long.";
    case 10041: return "Protocol wrong type for socket.";
    case 10042: return "Bad protocol option.";
    case 10043: return "Protocol not supported.";
    case 10044: return "Socket type not supported.";
    case 10045: return "Operation not supported on socket.";
    case 10046: return "Protocol family not supported.";
    case 10047: return "Address family not supported by protocol family.";
    case 10048: return "Address already in use.";
    case 10049: return "Cannot assign requested address.";
    case 10050: return "Network is down.";
    case 10051: return "Network is unreachable.";
    case 10052: return "Net dropped connection or reset.";
    case 10053: return "Software caused connection abort.";
    case 10054: return "Connection reset by peer.";
    case 10055: return "No buffer space available.";
    case 10056: return "Socket is already connected.";
    case 10057: return "Socket is not connected.";
    case 10058: return "Cannot send or receive after socket is closed.";
    case 10059: return "Too many references, cannot splice.";
    case 10060: return "Connection timed out.";
    case 10061: return "Connection refused.";
    case 10062: return "Too many levels of symbolic links.";
    case 10063: return "File name too long.";
    case 10064: return "Host is down.";
    case 10065: return "No route to host.";
    case 10066: return "Directory not empty";
    case 11001: return "Host not found.";
    default: return "";
    }
}

} // namespace

QString SocketError::description(int errorCode)
{
    return QString::fromLatin1(socketErrorText(errorCode));
}

SocketError::SocketError(int errorCode)
    : TransportError(
        QStringLiteral("Socket Error # %1\r\n%2").arg(errorCode).arg(description(errorCode)))
    , m_errorCode(errorCode)
{
}

FileReadError::FileReadError(const QString &path, int errorCode)
    : EInOutError(QStringLiteral("Cannot read file \"%1\". %2")
                      .arg(path, QString::fromLocal8Bit(std::strerror(errorCode))),
        errorCode)
{
}

ProtocolError::ProtocolError(const QString &statusLine, int code, QString body)
    : Exception(statusLine)
    , m_code(code)
    , m_body(std::move(body))
{
}

TlsError::TlsError(Kind kind, QString host, QString reason, Certificate certificate, bool gostMaybe)
    : TransportError(std::move(reason))
    , m_kind(kind)
    , m_host(std::move(host))
    , m_certificate(std::move(certificate))
    , m_gostMaybe(gostMaybe)
{
}

QString fingerprintText(const QByteArray &sha256)
{
    return QString::fromLatin1(sha256.toHex(':').toUpper());
}

namespace
{

QString tlsCause(const TlsError &tls)
{
    const QString &host = tls.host();
    const TlsError::Certificate &certificate = tls.certificate();
    const QLocale locale;
    switch (tls.kind()) {
    case TlsError::Kind::Untrusted:
        return QStringLiteral("сертификат сервера %1 не подтверждён: издатель «%2» не входит в "
                              "число доверенных. Если организация использует свой корневой "
                              "сертификат или сертификат НУЦ Минцифры, его нужно установить в "
                              "систему")
            .arg(host, certificate.chainIssuer);
    case TlsError::Kind::WrongName:
        return QStringLiteral("сертификат сервера выдан для «%1», а не для %2")
            .arg(certificate.name, host);
    case TlsError::Kind::Expired:
        return QStringLiteral("срок действия сертификата сервера %1 истёк %2")
            .arg(host,
                locale.toString(certificate.notAfter.toLocalTime().date(), QLocale::ShortFormat));
    case TlsError::Kind::NotYetValid:
        return QStringLiteral("сертификат сервера %1 действует только с %2")
            .arg(host,
                locale.toString(certificate.notBefore.toLocalTime().date(), QLocale::ShortFormat));
    case TlsError::Kind::Protocol:
        return QStringLiteral("сервер %1 не поддерживает TLS 1.2 и новее").arg(host);
    case TlsError::Kind::Other: break;
    }
    QString reason = oneLineMessage(tls.message());
    while (reason.endsWith(u'.'))
        reason.chop(1);
    QString cause
        = QStringLiteral("не удалось установить защищённое соединение с %1: %2").arg(host, reason);
    if (tls.gostMaybe())
        cause += QStringLiteral(", возможно, сервер требует шифрование ГОСТ: установите пакет "
                                "libengine-gost-openssl");
    return cause;
}

} // namespace

QString transportCause(const std::exception &failure)
{
    const auto *transport = dynamic_cast<const TransportError *>(&failure);
    if (!transport)
        return {};
    if (const auto *tls = dynamic_cast<const TlsError *>(transport))
        return tlsCause(*tls);
    if (const auto *socket = dynamic_cast<const SocketError *>(transport)) {
        switch (socket->errorCode()) {
        case 10061: return QStringLiteral("соединение отклонено");
        case 11001: return QStringLiteral("сервер с таким именем не найден");
        case 10060: return QStringLiteral("сервер не ответил вовремя");
        case 10065:
        case 10051: return QStringLiteral("сервер недоступен");
        case 10054:
        case 10053: return QStringLiteral("соединение разорвано");
        default: break;
        }
    } else if (transport->message() == QLatin1String("Unknown Protocol")) {
        return QStringLiteral("в адресе нет http://");
    } else if (transport->message() == QLatin1String("Connection Closed Gracefully.")) {
        return QStringLiteral("сервер закрыл соединение");
    }
    QString own = oneLineMessage(transport->message());
    while (own.endsWith(u'.'))
        own.chop(1); // the sentence it goes into ends with its own full stop
    return own;
}

QString oneLineMessage(const QString &message)
{
    QString line = message;
    line.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    line.replace(u'\r', u' ');
    line.replace(u'\n', u' ');
    return line.trimmed();
}
