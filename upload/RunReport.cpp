#include "upload/RunReport.h"

#include <QFile>
#include <QLocale>
#include <QRandomGenerator>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace
{

QString timeText(const QDateTime &time)
{
    return time.isValid() ? time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString();
}

QString byteCountText(qint64 size)
{
    return size < 0 ? QString() : QString::number(size);
}

void addRow(QString &out, const QStringList &cells)
{
    QStringList written;
    written.reserve(cells.size());
    for (const QString &cell : cells)
        written << csvCell(cell);
    out += written.join(u';');
    out += QStringLiteral("\r\n");
}

// Random names for the hidden file a report is written to first; a clash is all but
// impossible, so a few tries tell a folder that refuses files.
constexpr int temporaryNameTries = 8;

bool writeFully(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// Creates `path` only when nothing has that name and writes `bytes` to it; a failed write
// leaves no file behind. 0 when written, else the errno (EEXIST: the name is taken).
int createAndWrite(const QString &path, const QByteArray &bytes)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno;
    errno = 0;
    // On disk before it is named, as far as the file system can sync at all.
    int error = writeFully(fd, bytes) && (::fdatasync(fd) == 0 || errno == EINVAL)
        ? 0
        : (errno ? errno : EIO);
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error != 0)
        ::unlink(name.constData());
    return error;
}

// Gives the complete file at `from` the name `to` unless `to` exists. 0 when renamed,
// else the errno (EINVAL: the file system can't refuse to replace).
int renameNoReplace(const QString &from, const QString &to)
{
    return ::renameat2(AT_FDCWD, QFile::encodeName(from).constData(), AT_FDCWD,
               QFile::encodeName(to).constData(), RENAME_NOREPLACE)
            == 0
        ? 0
        : errno;
}

} // namespace

QString numberedReportName(const QString &name, int number)
{
    if (number <= 1)
        return name;
    const QString suffix = QStringLiteral(".csv");
    const QString stem = name.endsWith(suffix) ? name.chopped(suffix.size()) : name;
    return stem + QStringLiteral(" (%1)").arg(number) + suffix;
}

QString writeNewReport(const QString &folder, const QString &name, const QByteArray &bytes)
{
    // The bytes go to a hidden file first and take the report's name only when complete.
    QString temporary;
    int error = EEXIST;
    for (int attempt = 0; attempt < temporaryNameTries && error == EEXIST; ++attempt) {
        temporary = folder
            + QStringLiteral("/.unmz-report-%1.part")
                  .arg(QRandomGenerator::global()->generate64(), 0, 36);
        error = createAndWrite(temporary, bytes);
    }
    if (error != 0)
        return {};

    bool renames = true;
    for (int number = 1; number <= MaxReportNameNumber; ++number) {
        const QString path = folder + u'/' + numberedReportName(name, number);
        if (renames) {
            error = renameNoReplace(temporary, path);
            // A file system that can't rename without replacing gets the bytes written
            // under the name directly, still never over an existing file.
            if (error == EINVAL || error == ENOSYS || error == EOPNOTSUPP)
                renames = false;
        }
        if (!renames)
            error = createAndWrite(path, bytes);
        if (error == 0) {
            if (!renames)
                ::unlink(QFile::encodeName(temporary).constData());
            return path;
        }
        if (error != EEXIST)
            break;
    }
    ::unlink(QFile::encodeName(temporary).constData());
    return {};
}

QString csvCell(const QString &text)
{
    QString cell = text;
    if (!cell.isEmpty() && QStringLiteral("=+-@").contains(cell.front()))
        cell.prepend(u'\'');
    if (cell.contains(u';') || cell.contains(u'"') || cell.contains(u'\n')
        || cell.contains(u'\r')) {
        cell.replace(QStringLiteral("\""), QStringLiteral("\"\""));
        cell = u'"' + cell + u'"';
    }
    return cell;
}

QString resultText(DocumentOutcome::Result result)
{
    switch (result) {
    case DocumentOutcome::Result::Sent: return QStringLiteral("передан");
    case DocumentOutcome::Result::Failed: return QStringLiteral("ошибка");
    case DocumentOutcome::Result::Unconfirmed: return QStringLiteral("не подтверждён");
    case DocumentOutcome::Result::NotSent: break;
    }
    return QStringLiteral("не передан");
}

QString reportFileName(const QString &workbookPath, const QDateTime &started)
{
    QString name = workbookPath.mid(workbookPath.lastIndexOf(u'/') + 1);
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot > 0)
        name.truncate(dot);
    return name + QStringLiteral(" отчёт ")
        + started.toString(QStringLiteral("yyyy-MM-dd HH-mm-ss")) + QStringLiteral(".csv");
}

QByteArray reportCsv(const RunReport &report)
{
    int sent = 0, failed = 0, notSent = 0, unconfirmed = 0;
    qint64 totalBytes = 0, sentBytes = 0;
    for (const DocumentOutcome &document : report.documents) {
        totalBytes += qMax<qint64>(document.size, 0);
        switch (document.result) {
        case DocumentOutcome::Result::Sent:
            ++sent;
            sentBytes += qMax<qint64>(document.size, 0);
            break;
        case DocumentOutcome::Result::Failed: ++failed; break;
        case DocumentOutcome::Result::NotSent: ++notSent; break;
        case DocumentOutcome::Result::Unconfirmed: ++unconfirmed; break;
        }
    }

    QString out;
    addRow(out, {QStringLiteral("Отчёт о загрузке реестра УНМЗ")});
    addRow(out, {QStringLiteral("Адрес сервера"), report.serverAddress});
    addRow(out,
        {QStringLiteral("Реестр"), report.workbookPath, byteCountText(report.workbookSize),
            resultText(report.workbook.result), report.workbook.reason,
            timeText(report.workbook.time)});
    addRow(out, {QStringLiteral("Начало"), timeText(report.started)});
    addRow(out, {QStringLiteral("Окончание"), timeText(report.finished)});
    addRow(out, {QStringLiteral("Итог"), report.outcome});
    addRow(out,
        {QStringLiteral("Документов найдено"), QString::number(report.documents.size()),
            QStringLiteral("байт"), QString::number(totalBytes)});
    addRow(out,
        {QStringLiteral("Передано"), QString::number(sent), QStringLiteral("байт"),
            QString::number(sentBytes)});
    addRow(out, {QStringLiteral("С ошибкой"), QString::number(failed)});
    addRow(out, {QStringLiteral("Не передано"), QString::number(notSent)});
    if (unconfirmed > 0)
        addRow(out, {QStringLiteral("Не подтверждено"), QString::number(unconfirmed)});
    out += QStringLiteral("\r\n");
    addRow(out,
        {QStringLiteral("№"), QStringLiteral("Документ"), QStringLiteral("Папка"),
            QStringLiteral("Размер, байт"), QStringLiteral("Результат"),
            QStringLiteral("Ответ сервера или причина"), QStringLiteral("Время")});
    int number = 0;
    if (!report.documentsSearched)
        addRow(out, {QString(), QStringLiteral("документы не передавались")});
    for (const DocumentOutcome &document : report.documents)
        addRow(out,
            {QString::number(++number), document.relativePath, document.folderValue,
                byteCountText(document.size), resultText(document.result), document.reason,
                timeText(document.time)});
    return QByteArray("\xEF\xBB\xBF") + out.toUtf8();
}
