// The report of one upload run: a CSV file that spreadsheet programs open directly
// (UTF-8 with a byte-order mark, ";" between cells, RFC 4180 quoting). It names what was
// delivered and what was not; it never holds the session id or a cookie.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

struct DocumentOutcome {
    // Unconfirmed: its whole body went out, but the run was interrupted before the reply.
    enum class Result { Sent, Failed, NotSent, Unconfirmed };
    QString relativePath; // below the workbook's folder, "/"-joined as on disk
    QString folderValue;  // as sent to the service ("\"-joined)
    qint64 size = -1;     // bytes; -1 when unknown (the file could not be read)
    Result result = Result::NotSent;
    QString reason; // the service's reply or the local reason; empty when sent
    QDateTime time; // when the outcome was known; invalid when never reached
};

struct RunReport {
    QString serverAddress;
    QString workbookPath;
    qint64 workbookSize = -1;
    QDateTime started;
    QDateTime finished;
    QString outcome; // the completion line's words
    // What became of the workbook: its result, the service's reply or the local reason,
    // and the time (its path and size are the fields above).
    DocumentOutcome workbook;
    bool documentsSearched = true; // false: the run ended before the documents' turn
    QList<DocumentOutcome> documents;
};

// The file's bytes: header rows, a blank row, the column titles, one row per document.
QByteArray reportCsv(const RunReport &report);
// "<workbook name without extension> отчёт YYYY-MM-DD HH-MM-SS.csv" after the run's start.
QString reportFileName(const QString &workbookPath, const QDateTime &started);
// The highest n of "<name> (n).csv" a report tries in one folder before the folder counts
// as unable to take it.
inline constexpr int MaxReportNameNumber = 100;
// `name` ("….csv") as the n-th report of that name: itself for 1, "… (n).csv" from 2.
QString numberedReportName(const QString &name, int number);
// Writes `bytes` to `folder` as `name`, or as "… (2).csv", "… (3).csv", ... when the name
// is taken, up to MaxReportNameNumber: never over an existing file, even one another
// process makes at the same moment, and never as a partial file under the final name.
// The path written; empty when it could not be written.
QString writeNewReport(const QString &folder, const QString &name, const QByteArray &bytes);
// One cell as written: quoted when it holds ";", a quote or a line break; a leading "'"
// when it begins with "=", "+", "-" or "@", so a spreadsheet never runs a name as a formula.
QString csvCell(const QString &text);
// "передан", "ошибка", "не передан" or "не подтверждён".
QString resultText(DocumentOutcome::Result result);
