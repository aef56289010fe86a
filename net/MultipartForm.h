// A multipart/form-data form (RFC 7578): ordered text, UTF-8 text and file fields,
// the exact body bytes, the body length known before sending, and the body produced
// block by block for the form-post client. Files are read as they are sent.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class FormFile; // an open file held by a file field until the form is discarded

struct FormField {
    QString name;
    QString value;    // text fields
    QString fileName; // file fields: the last component of the path
    QString contentType;
    QString charset;          // empty: one byte per character
    QString transferEncoding; // "", "7bit", "8bit", "binary", "quoted-printable", "base64"
    QByteArray headerCharset; // charset of encoded-words in this part's header
    std::shared_ptr<FormFile> file;
};

// One block of the body: either bytes in memory, or a stretch of an open file
// (so the client can send it without copying it through user space).
struct FormBlock {
    QByteArray bytes;
    int fd = -1;       // >= 0: a file stretch
    qint64 offset = 0; // where the stretch starts in the file
    qint64 length = 0; // bytes.size() or the stretch's length; never above 32768
};

class FormBodyStream;

class MultipartForm
{
public:
    using Clock = std::function<QDateTime()>;
    static constexpr qint64 BlockSize = 32768;

    explicit MultipartForm(Clock clock = {});
    ~MultipartForm(); // discard: closes the files the file fields hold open
    MultipartForm(const MultipartForm &) = delete;
    MultipartForm &operator=(const MultipartForm &) = delete;

    const QByteArray &boundary() const { return m_boundary; }
    QByteArray contentType() const; // "multipart/form-data; boundary=" + boundary

    // Text field ("text/plain", quoted-printable); with charset "utf-8" and then
    // setTransferEncoding(field, "8bit") it is the UTF-8 text field.
    FormField &addTextField(const QString &name, const QString &value, const QString &charset = {});
    // Throws Exception("Unsupported transfer type. ...") for a value outside the list.
    void setTransferEncoding(FormField &field, const QString &encoding);
    // Opens the file at once for reading with writing denied to others; throws
    // Exception("Cannot open file \"PATH\". REASON") and leaves the form unchanged.
    FormField &addFile(const QString &name, const QString &path, const QString &contentType);

    const std::vector<std::unique_ptr<FormField>> &fields() const { return m_fields; }

    // The exact body length, computed without building the body.
    qint64 bodyLength() const;
    // A new stream over the body; posting does not change the form.
    std::unique_ptr<FormBodyStream> openBody() const;

private:
    QByteArray m_boundary;
    std::vector<std::unique_ptr<FormField>> m_fields;
};

// Produces the body in blocks of at most 32768 bytes. A source that ends before its
// counted length throws Exception("No data to read.").
class FormBodyStream
{
public:
    virtual ~FormBodyStream() = default;
    // The next block; false when the body is complete.
    virtual bool next(FormBlock &block) = 0;
    // Convenience for consumers that want bytes: the next block read into memory.
    bool nextBytes(QByteArray &bytes);
};
