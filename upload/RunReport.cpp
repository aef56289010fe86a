#include "upload/RunReport.h"

#include <QLocale>
#include <QStringList>

namespace
{

QString timeText(const QDateTime &time)
{
    return time.isValid() ? time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString();
}

QString sizeText(qint64 size)
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

} // namespace

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
    int sent = 0, failed = 0, notSent = 0;
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
        }
    }

    QString out;
    addRow(out, {QStringLiteral("Отчёт о загрузке реестра УНМЗ")});
    addRow(out, {QStringLiteral("Адрес сервера"), report.serverAddress});
    addRow(out, {QStringLiteral("Реестр"), report.workbookPath, sizeText(report.workbookSize)});
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
    out += QStringLiteral("\r\n");
    addRow(out,
        {QStringLiteral("№"), QStringLiteral("Документ"), QStringLiteral("Папка"),
            QStringLiteral("Размер, байт"), QStringLiteral("Результат"),
            QStringLiteral("Ответ сервера или причина"), QStringLiteral("Время")});
    int number = 0;
    for (const DocumentOutcome &document : report.documents)
        addRow(out,
            {QString::number(++number), document.relativePath, document.folderValue,
                sizeText(document.size), resultText(document.result), document.reason,
                timeText(document.time)});
    return QByteArray("\xEF\xBB\xBF") + out.toUtf8();
}
