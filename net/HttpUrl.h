// URL resolution of the form-post client: an absolute URL or a path reference merged
// into the client's target (the parts of its latest post), the request target written
// verbatim (no percent-encoding) and the Host header value of RFC 7230 section 5.4.
#pragma once

#include <QString>

// The parts of the URL of a client's latest post. Empty for a new client.
struct HttpTarget {
    QString scheme;
    QString userInfo; // text before the last "@" of the authority; never sent
    QString host;
    QString port; // as written; may be empty or not a number
    QString path; // directory path: ends in "/" when not empty
    QString document;
    QString query;
};

// Merges `url` into `target` (the target keeps the merged parts also when this throws).
// Throws Exception("Unknown Protocol") when no port can be found.
void resolveUrl(HttpTarget &target, const QString &url);
// Whether the target is reached over TLS: the scheme "https" in any case; every other
// scheme is sent as plain http.
bool usesTls(const HttpTarget &target);

// Throws Exception("Invalid character in the URL.") when `url` holds a control character
// (below 32, or 127) or a space: the request target goes into the request line as it is
// written, so such a character could end that line early or add a header. Checked
// before resolveUrl, so a refused URL leaves the target as it was.
void checkUrlCharacters(const QString &url);

// Directory path + document (+ "?" + query), as written in the URL.
QString requestTarget(const HttpTarget &target);
// The host alone on the scheme's default port, else "host:port".
QString hostHeaderValue(const HttpTarget &target);
// The port text as a decimal number, 80 when it is not one. A number past 65535 names no
// port: SocketError 10049 rather than a connection to some other port.
quint16 connectPort(const HttpTarget &target);
