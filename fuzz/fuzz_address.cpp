// Fuzz target: arbitrary addresses checked and merged into a client's target, one after
// another, as the form-post client does before it connects. Whatever is accepted must
// give a request head whose lines are exactly the request line and the fixed headers
// (continuation lines aside): nothing in an address may end a line or add a header.
#include "diag/Exception.h"
#include "net/FormPostClient.h"
#include "net/HttpUrl.h"
#include "net/NetErrors.h"
#include "net/Socket.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <cstdlib>

namespace
{

void require(bool condition)
{
    if (!condition)
        std::abort();
}

bool invalidInUrl(QChar c)
{
    return c.unicode() <= 32 || c.unicode() == 127;
}

bool holdsInvalid(const QString &text)
{
    for (const QChar c : text)
        if (invalidInUrl(c))
            return true;
    return false;
}

void checkHead(const HttpTarget &target)
{
    const QByteArray head = requestHead(requestTarget(target), "multipart/form-data; boundary=b", 1,
        hostHeaderValue(target), std::nullopt);
    require(head.endsWith("\r\n\r\n"));
    QList<QByteArray> lines = head.chopped(4).split('\n');
    for (QByteArray &line : lines) {
        require(line.endsWith('\r') || &line == &lines.last());
        if (line.endsWith('\r'))
            line.chop(1);
        for (const char c : line)
            require(uchar(c) >= 32 && uchar(c) != 127);
    }
    const QByteArray &requestLine = lines.first();
    require(requestLine.startsWith("POST ") && requestLine.endsWith(" HTTP/1.0"));
    require(requestLine.count(' ') == 2);
    static const char *const names[] = {"Connection", "Content-Type", "Content-Length", "Host",
        "Accept", "Accept-Encoding", "User-Agent"};
    size_t named = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (lines[i].startsWith(' '))
            continue; // a folded line's continuation
        require(named < std::size(names));
        require(lines[i].startsWith(QByteArray(names[named]) + ": "));
        ++named;
    }
    require(named == std::size(names));
}

// One address as the client takes it: refused before anything else when it holds a
// control character or a space, merged otherwise (and maybe refused after merging).
void post(HttpTarget &target, const QString &url)
{
    bool accepted = true;
    try {
        checkUrlCharacters(url);
    } catch (const Exception &) {
        accepted = false;
    }
    require(accepted == !holdsInvalid(url));
    if (!accepted)
        return;
    try {
        resolveUrl(target, url);
        checkHead(target);
        // The port connected to is the one named, or 80 for a text that is no number;
        // a number past the last port is refused, never wrapped.
        bool digits = !target.port.isEmpty();
        for (const QChar c : std::as_const(target.port))
            digits = digits && c >= u'0' && c <= u'9';
        bool number = false;
        const qulonglong named = target.port.toULongLong(&number, 10);
        try {
            const quint16 port = connectPort(target);
            require(number ? named == port : port == 80);
        } catch (const SocketError &e) {
            require(e.errorCode() == Socket::AddressNotAvailable);
            require(number ? named > 65535 : digits);
        }
    } catch (const Exception &) {
        // "Unknown Protocol" or the https refusal: the merged parts stay in the target.
    }
    require(!holdsInvalid(requestTarget(target)) && !holdsInvalid(hostHeaderValue(target)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte: bit 0 reads the addresses as Latin-1 instead of UTF-8; the rest is
    // where the first address ends (a second one follows it).
    const bool latin1 = data[0] & 1;
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    const size_t left = size - 1;
    const size_t split = std::min(left, size_t(data[0] >> 1) * 2);
    auto text = [latin1](const char *from, size_t length) {
        return latin1 ? QString::fromLatin1(from, qsizetype(length))
                      : QString::fromUtf8(from, qsizetype(length));
    };
    HttpTarget target;
    post(target, text(bytes, split));
    post(target, text(bytes + split, left - split));
    return 0;
}
