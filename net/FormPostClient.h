// The form-post client: one HTTP/1.0 POST of a multipart form per call over plain TCP,
// the reply body decoded to text, every failure raised with its exact message text.
// Each client keeps its own cookie jar. One post at a time per client.
#pragma once

#include "net/CookieJar.h"
#include "net/MultipartForm.h"

#include <QString>

#include <memory>

class FormPostClientPrivate;

class FormPostClient
{
public:
    FormPostClient();
    ~FormPostClient(); // closes a connection still open, drops the cookie jar
    FormPostClient(const FormPostClient &) = delete;
    FormPostClient &operator=(const FormPostClient &) = delete;

    // Accepted and without effect on the wire: every post sends the form's own type.
    void setRequestContentType(const QString &contentType);
    // Posts the form; returns the decoded reply body of a 2xx reply, raises otherwise
    // (Exception, SocketError, ProtocolError).
    QString post(const QString &url, const MultipartForm &form);
    // Thread-safe: makes a post blocked in connect, send or recv fail at once, so the
    // program can exit while a post waits on the service.
    void abort();

    CookieJar &cookieJar();

private:
    std::unique_ptr<FormPostClientPrivate> d;
};
