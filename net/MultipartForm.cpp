#include "net/MultipartForm.h"

#include "diag/Exception.h"
#include "net/PartHeaderCharset.h"
#include "net/QuotedPrintable.h"
#include "net/Rfc2047.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const char NoDataText[] = "No data to read.";
// A pipe, socket or device named like a document: the system has no such description.
const char NotRegularText[] = "Not a regular file.";

QString osErrorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString cannotOpenText(const QString &absolutePath, const QString &reason)
{
    return QStringLiteral("Cannot open file \"%1\". %2").arg(absolutePath, reason);
}

[[noreturn]] void throwCannotOpen(const QString &absolutePath, int error)
{
    throw EInOutError(cannotOpenText(absolutePath, osErrorText(error)), error);
}

// Linux has no share modes: another program holds the file open for writing when a read
// lease cannot be taken (EAGAIN), or when an office suite's lock file sits beside it.
bool heldOpenForWriting(int fd, const QFileInfo &info)
{
    const QString folder = info.absolutePath() + QLatin1Char('/');
    const QString name = info.fileName();
    if (QFileInfo::exists(folder + QStringLiteral(".~lock.") + name + QLatin1Char('#'))
        || QFileInfo::exists(folder + QStringLiteral("~$") + name))
        return true;
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
        return false;
    }
    // EACCES (not the owner) or EINVAL (no lease support here) tell nothing: open it.
    return errno == EAGAIN;
}

bool isValidTransferEncoding(const QString &encoding)
{
    static const char *const valid[] = {"", "7bit", "8bit", "binary", "quoted-printable", "base64"};
    for (const char *name : valid)
        if (encoding.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

QByteArray headerCharsetOf(const FormField &field)
{
    return field.headerCharset.isEmpty() ? QByteArray("UTF-8") : field.headerCharset;
}

} // namespace

// ---- FormFile --------------------------------------------------------------------------

FormFile::FormFile(const QString &path)
    : m_path(path)
{
    const QFileInfo info(path);
    m_absolutePath = info.absoluteFilePath();
    // O_NONBLOCK: opening a named pipe waits for a writer, and a device may wait too. A
    // regular file ignores the flag; it is cleared once the file is known to be one.
    m_fd = ::open(QFile::encodeName(m_absolutePath).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        throwCannotOpen(m_absolutePath, errno);
    const auto refuse = [this](int error, const QString &reason) {
        ::close(m_fd);
        m_fd = -1;
        throw EInOutError(cannotOpenText(m_absolutePath, reason), error);
    };
    struct stat status {
    };
    if (::fstat(m_fd, &status) != 0)
        refuse(errno, osErrorText(errno));
    if (S_ISDIR(status.st_mode))
        refuse(EISDIR, osErrorText(EISDIR));
    if (!S_ISREG(status.st_mode))
        refuse(EINVAL, QString::fromLatin1(NotRegularText));
    if (heldOpenForWriting(m_fd, info))
        refuse(EBUSY, osErrorText(EBUSY));
    const int flags = ::fcntl(m_fd, F_GETFL);
    if (flags < 0 || ::fcntl(m_fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        refuse(errno, osErrorText(errno));
    m_size = status.st_size;
}

FormFile::~FormFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

// ---- MultipartForm ---------------------------------------------------------------------

MultipartForm::MultipartForm(Clock clock)
    : m_boundary(boundaryFor(clock ? clock() : QDateTime::currentDateTime()))
{
}

MultipartForm::~MultipartForm() = default;

QByteArray MultipartForm::boundaryFor(const QDateTime &localTime)
{
    return "--------" + localTime.toString(QStringLiteral("MMddyyHHmmsszzz")).toLatin1();
}

QByteArray MultipartForm::contentType() const
{
    return "multipart/form-data; boundary=" + m_boundary;
}

FormField &MultipartForm::addTextField(
    const QString &name, const QString &value, const QString &charset)
{
    auto field = std::make_unique<FormField>();
    field->name = name;
    field->value = value;
    field->contentType = QStringLiteral("text/plain");
    field->charset = charset;
    field->transferEncoding = QStringLiteral("quoted-printable");
    field->headerCharset = HeaderCharset::forUserLocale();
    m_fields.push_back(std::move(field));
    return *m_fields.back();
}

void MultipartForm::setTransferEncoding(FormField &field, const QString &encoding)
{
    if (!isValidTransferEncoding(encoding))
        throw Exception(QStringLiteral(
            "Unsupported transfer type. You can assign only an empty string or one of the "
            "following values: 7bit, 8bit, binary, quoted-printable, base64."));
    field.transferEncoding = encoding;
}

FormField &MultipartForm::addFile(
    const QString &name, const QString &path, const QString &contentType)
{
    auto file = std::make_shared<FormFile>(path); // throws before the form changes
    auto field = std::make_unique<FormField>();
    field->name = name;
    field->fileName = QFileInfo(path).fileName();
    field->contentType = contentType;
    field->transferEncoding = QStringLiteral("binary");
    field->headerCharset = HeaderCharset::forUserLocale();
    field->file = std::move(file);
    m_fields.push_back(std::move(field));
    return *m_fields.back();
}

QByteArray MultipartForm::partHead(const FormField &field) const
{
    const QByteArray charset = headerCharsetOf(field);
    QByteArray head = "--" + m_boundary + "\r\n";
    head += "Content-Disposition: form-data; name=\"" + Rfc2047::encode(field.name, charset) + '"';
    if (!field.fileName.isEmpty())
        head += "; filename=\"" + Rfc2047::encode(field.fileName, charset) + '"';
    head += "\r\n";
    if (!field.contentType.isEmpty()) {
        head += "Content-Type: " + HeaderCharset::latin1OrQuestion(field.contentType);
        if (!field.charset.isEmpty())
            head += "; charset=\"" + HeaderCharset::latin1OrQuestion(field.charset) + '"';
        head += "\r\n";
    }
    if (!field.transferEncoding.isEmpty())
        head += "Content-Transfer-Encoding: "
            + HeaderCharset::latin1OrQuestion(field.transferEncoding) + "\r\n";
    head += "\r\n";
    return head;
}

QByteArray MultipartForm::textData(const FormField &field)
{
    if (field.file)
        return {};
    const QByteArray bytes = field.charset.isEmpty()
        ? HeaderCharset::latin1OrQuestion(field.value)
        : HeaderCharset::fromUnicode(field.value, field.charset.toLatin1());
    const QString encoding = field.transferEncoding.toLower();
    if (encoding == QLatin1String("quoted-printable"))
        return QuotedPrintable::encode(bytes);
    if (encoding == QLatin1String("base64")) {
        // RFC 2045 lines of at most 76 characters; the part's CR LF closes the last one.
        const QByteArray base64 = bytes.toBase64();
        QByteArray lines;
        for (qsizetype i = 0; i < base64.size(); i += 76) {
            if (i > 0)
                lines += "\r\n";
            lines += base64.mid(i, 76);
        }
        return lines;
    }
    return bytes;
}

bool MultipartForm::dataGetsLineBreak(const FormField &field)
{
    if (field.file)
        return true;
    // Quoted-printable data ends with its own CR LF; an empty value has no data, and the
    // blank line's CR LF is followed by one more.
    return field.transferEncoding.compare(QLatin1String("quoted-printable"), Qt::CaseInsensitive)
        != 0
        || field.value.isEmpty();
}

QByteArray MultipartForm::closingLine() const
{
    return "--" + m_boundary + "--\r\n";
}

qint64 MultipartForm::bodyLength() const
{
    qint64 length = 0;
    for (const auto &field : m_fields) {
        length += partHead(*field).size();
        if (field->file) {
            length += field->file->size();
        } else {
            const QString encoding = field->transferEncoding.toLower();
            if (encoding == QLatin1String("quoted-printable") && field->charset.isEmpty())
                length += QuotedPrintable::encodedLength(
                    HeaderCharset::latin1OrQuestion(field->value));
            else
                length += textData(*field).size();
        }
        if (dataGetsLineBreak(*field))
            length += 2;
    }
    return length + m_boundary.size() + 6;
}

// ---- the body stream ---------------------------------------------------------------------

namespace
{

class MultipartBodyStream : public FormBodyStream
{
public:
    explicit MultipartBodyStream(const MultipartForm &form)
        : m_form(form)
    {
    }

    bool next(FormBlock &block) override
    {
        for (;;) {
            if (m_pendingPos < m_pending.size()) {
                const qsizetype n = std::min<qsizetype>(
                    MultipartForm::BlockSize, m_pending.size() - m_pendingPos);
                block.bytes = m_pending.mid(m_pendingPos, n);
                block.fd = -1;
                block.offset = 0;
                block.length = n;
                m_pendingPos += n;
                return true;
            }
            m_pending.clear();
            m_pendingPos = 0;
            if (m_file) {
                if (m_fileOffset < m_file->size())
                    return nextFileStretch(block);
                m_file = nullptr;
                m_pending += "\r\n";
                ++m_fieldIndex;
            }
            if (!fillPending())
                return false;
        }
    }

private:
    bool nextFileStretch(FormBlock &block)
    {
        const qint64 n = std::min(MultipartForm::BlockSize, m_file->size() - m_fileOffset);
        struct stat status {
        };
        if (::fstat(m_file->fd(), &status) != 0 || status.st_size < m_fileOffset + n)
            throw Exception(QString::fromLatin1(NoDataText));
        block.bytes.clear();
        block.fd = m_file->fd();
        block.offset = m_fileOffset;
        block.length = n;
        m_fileOffset += n;
        return true;
    }

    // Makes the next bytes in memory: part heads and text data up to the next file's data
    // or the end. False when the body is complete.
    bool fillPending()
    {
        const auto &fields = m_form.fields();
        while (m_pending.size() < MultipartForm::BlockSize && m_fieldIndex < fields.size()) {
            const FormField &field = *fields[m_fieldIndex];
            m_pending += m_form.partHead(field);
            if (field.file) {
                m_file = field.file.get();
                m_fileOffset = 0;
                return true;
            }
            m_pending += MultipartForm::textData(field);
            if (MultipartForm::dataGetsLineBreak(field))
                m_pending += "\r\n";
            ++m_fieldIndex;
        }
        if (m_fieldIndex == fields.size() && !m_closed) {
            m_pending += m_form.closingLine();
            m_closed = true;
        }
        return !m_pending.isEmpty();
    }

    const MultipartForm &m_form;
    size_t m_fieldIndex = 0;
    QByteArray m_pending;
    qsizetype m_pendingPos = 0;
    const FormFile *m_file = nullptr; // the file whose data is being sent
    qint64 m_fileOffset = 0;
    bool m_closed = false;
};

} // namespace

std::unique_ptr<FormBodyStream> MultipartForm::openBody() const
{
    return std::make_unique<MultipartBodyStream>(*this);
}

bool FormBodyStream::nextBytes(QByteArray &bytes)
{
    FormBlock block;
    if (!next(block))
        return false;
    if (block.fd < 0) {
        bytes = std::move(block.bytes);
        return true;
    }
    bytes.resize(block.length);
    qint64 done = 0;
    while (done < block.length) {
        const ssize_t n = ::pread(
            block.fd, bytes.data() + done, size_t(block.length - done), off_t(block.offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw EInOutError(osErrorText(errno), errno);
        if (n == 0)
            throw Exception(QString::fromLatin1(NoDataText));
        done += n;
    }
    return true;
}
