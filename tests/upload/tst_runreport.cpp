#include "upload/RunReport.h"

#include <QTest>

namespace
{

// An independent RFC 4180 reader with ";" between cells, for round trips.
QList<QStringList> parseCsv(const QString &text)
{
    QList<QStringList> rows;
    QStringList row;
    QString cell;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted) {
            if (c == u'"' && i + 1 < text.size() && text.at(i + 1) == u'"')
                cell += c, ++i;
            else if (c == u'"')
                quoted = false;
            else
                cell += c;
        } else if (c == u'"') {
            quoted = true;
        } else if (c == u';') {
            row << cell, cell.clear();
        } else if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n') {
            row << cell, cell.clear();
            rows << row, row.clear();
            ++i;
        } else {
            cell += c;
        }
    }
    return rows;
}

} // namespace

class TestRunReport : public QObject
{
    Q_OBJECT

private slots:
    void cellsNeverRunAsFormulas_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("cell");
        QTest::newRow("plain") << "Акт.pdf"
                               << "Акт.pdf";
        QTest::newRow("formula") << "=HYPERLINK(\"x\")"
                                 << "\"'=HYPERLINK(\"\"x\"\")\"";
        QTest::newRow("plus") << "+7 план.pdf"
                              << "'+7 план.pdf";
        QTest::newRow("minus") << "-1.pdf"
                               << "'-1.pdf";
        QTest::newRow("at") << "@SUM(A1).pdf"
                            << "'@SUM(A1).pdf";
        QTest::newRow("sign later is fine") << "a=b.pdf"
                                            << "a=b.pdf";
        QTest::newRow("separator quoted") << "a;b"
                                          << "\"a;b\"";
        QTest::newRow("line break quoted") << "a\r\nb"
                                           << "\"a\r\nb\"";
        QTest::newRow("empty") << ""
                               << "";
    }

    void cellsNeverRunAsFormulas()
    {
        QFETCH(QString, text);
        QTEST(csvCell(text), "cell");
    }

    void reportReadsBackRowForRow()
    {
        RunReport report;
        report.serverAddress = QStringLiteral("http://h:1");
        report.workbookPath = QStringLiteral("/r/Реестр УНМЗ.xlsx");
        report.workbookSize = 10;
        report.started = QDateTime(QDate(2026, 12, 9), QTime(10, 0, 5));
        report.finished = QDateTime(QDate(2026, 12, 9), QTime(11, 2, 3));
        report.outcome = QStringLiteral("В процессе загрузки возникли ошибки!");
        report.documents = {
            {"a;b.pdf", "", 100, DocumentOutcome::Result::Sent, {}, report.started},
            {"P1/Q/=c.pdf", "P1", 50, DocumentOutcome::Result::Failed, "Ответ \"нет\"\r\n",
                report.finished},
            {"d.pdf", "", -1, DocumentOutcome::Result::NotSent, {}, {}},
        };
        const QByteArray bytes = reportCsv(report);
        QVERIFY(bytes.startsWith("\xEF\xBB\xBF")); // spreadsheets then read it as UTF-8
        const QList<QStringList> rows = parseCsv(QString::fromUtf8(bytes.mid(3)));

        QCOMPARE(rows.at(1), QStringList({"Адрес сервера", "http://h:1"}));
        QCOMPARE(rows.at(3), QStringList({"Начало", "2026-12-09 10:00:05"}));
        QVERIFY(rows.contains(QStringList({"Документов найдено", "3", "байт", "150"})));
        QVERIFY(rows.contains(QStringList({"Передано", "1", "байт", "100"})));
        const QList<QStringList> documents = rows.mid(rows.size() - 3);
        QCOMPARE(documents.at(0),
            QStringList({"1", "a;b.pdf", "", "100", "передан", "", "2026-12-09 10:00:05"}));
        QCOMPARE(documents.at(1),
            QStringList({"2", "P1/Q/=c.pdf", "P1", "50", "ошибка", "Ответ \"нет\"\r\n",
                "2026-12-09 11:02:03"}));
        QCOMPARE(documents.at(2), QStringList({"3", "d.pdf", "", "", "не передан", "", ""}));
    }

    void fileNameFollowsTheWorkbookAndTheStart()
    {
        const QDateTime start(QDate(2026, 1, 2), QTime(3, 4, 5));
        QCOMPARE(reportFileName("/r/Реестр УНМЗ.xlsx", start),
            QString("Реестр УНМЗ отчёт 2026-01-02 03-04-05.csv"));
        QCOMPARE(reportFileName("/r/v1.2/реестр", start),
            QString("реестр отчёт 2026-01-02 03-04-05.csv"));
        QCOMPARE(reportFileName("/r/.xlsx", start), QString(".xlsx отчёт 2026-01-02 03-04-05.csv"));
    }
};

QTEST_APPLESS_MAIN(TestRunReport)
#include "tst_runreport.moc"
