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

// An open file held by a file field until the form is discarded. Its size is taken
// when it is opened: the bytes counted and sent are its content at that moment.
class FormFile
{
public:
    // Opens for reading; fails with Exception("Cannot open file \"PATH\". REASON") when
    // the file is missing, unreadable, a folder, not a regular file (a pipe or a device
    // is refused without waiting on it), or held open for writing by another program (a
    // read lease cannot be taken, or an office lock file sits beside it).
    explicit FormFile(const QString &path);
    ~FormFile();
    FormFile(const FormFile &) = delete;
    FormFile &operator=(const FormFile &) = delete;

    int fd() const { return m_fd; }
    qint64 size() const { return m_size; }
    const QString &path() const { return m_path; }
    const QString &absolutePath() const { return m_absolutePath; } // as named in errors

private:
    QString m_path;
    QString m_absolutePath;
    int m_fd = -1;
    qint64 m_size = 0;
};

struct FormField {
    QString name;
    QString value;    // text fields
    QString fileName; // file fields: the last component of the path
    QString contentType;
    QString charset;          // empty: one byte per character
    QString transferEncoding; // "", "7bit", "8bit", "binary", "quoted-printable", "base64"
    QByteArray headerCharset; // charset of encoded-words in this part's header (from the
                              // user's locale when added; tests may set it)
    std::shared_ptr<FormFile> file;
};

// One block of the body: either bytes in memory, or a stretch of an open file
// (so the client can send it without copying it through user space).
struct FormBlock {
    QByteArray bytes;
    int fd = -1;       // >= 0: a file stretch
    qint64 offset = 0; // where the stretch starts in the file
    qint64 length = 0; // bytes.size() or the stretch's length; never above 32768
    // A stretch that yields fewer bytes than its length (sendfile/pread short of it)
    // means the file shrank: the post fails with "No data to read.".
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
    // A new stream over the body; posting does not change the form. The form must
    // outlive the stream.
    std::unique_ptr<FormBodyStream> openBody() const;

    // The boundary for a moment: "--------" and MMddyyHHmmsszzz.
    static QByteArray boundaryFor(const QDateTime &localTime);
    // The lines before a field's data, from its delimiter to the blank line.
    QByteArray partHead(const FormField &field) const;
    // A text field's data as sent (empty for a file field), without the closing CR LF.
    static QByteArray textData(const FormField &field);
    // Whether the field's data is followed by CR LF (all but quoted-printable data).
    static bool dataGetsLineBreak(const FormField &field);
    // "--" boundary "--" CR LF.
    QByteArray closingLine() const;

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
    // Convenience for consumers that want bytes: the next block read into memory
    // (file stretches with pread; a file that ends early throws "No data to read.").
    bool nextBytes(QByteArray &bytes);
};
