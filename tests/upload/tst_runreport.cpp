#include "upload/RunReport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <thread>
#include <vector>

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

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

// Every entry of `folder`, hidden ones too.
QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
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

    void numberedNames_data()
    {
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("name");
        QTest::newRow("first: the name itself") << 1 << "Р отчёт 2026-01-02 03-04-05.csv";
        QTest::newRow("second") << 2 << "Р отчёт 2026-01-02 03-04-05 (2).csv";
        QTest::newRow("last")
            << MaxReportNameNumber
            << QString("Р отчёт 2026-01-02 03-04-05 (%1).csv").arg(MaxReportNameNumber);
    }

    void numberedNames()
    {
        QFETCH(int, number);
        QTEST(numberedReportName("Р отчёт 2026-01-02 03-04-05.csv", number), "name");
    }

    void aTakenNameGetsTheNextNumber()
    {
        QTemporaryDir dir;
        const QString name = QStringLiteral("Р отчёт 2026-01-02 03-04-05.csv");
        QCOMPARE(writeNewReport(dir.path(), name, "first"), dir.filePath(name));
        QCOMPARE(writeNewReport(dir.path(), name, "second"),
            dir.filePath("Р отчёт 2026-01-02 03-04-05 (2).csv"));
        QCOMPARE(writeNewReport(dir.path(), name, "third"),
            dir.filePath("Р отчёт 2026-01-02 03-04-05 (3).csv"));
        QCOMPARE(contents(dir.filePath(name)), QByteArray("first"));
        QCOMPARE(contents(dir.filePath("Р отчёт 2026-01-02 03-04-05 (2).csv")), "second");
        QCOMPARE(contents(dir.filePath("Р отчёт 2026-01-02 03-04-05 (3).csv")), "third");
        // The hidden file each was written to first is gone.
        QCOMPARE(entries(dir.path()).size(), 3);
        QCOMPARE(writeNewReport(dir.filePath("missing"), name, "x"), QString());
    }

    void noNumberPastTheLimit()
    {
        QTemporaryDir dir;
        const QString name = QStringLiteral("Р отчёт 2026-01-02 03-04-05.csv");
        for (int number = 1; number <= MaxReportNameNumber; ++number) {
            QFile file(dir.filePath(numberedReportName(name, number)));
            QVERIFY(file.open(QIODevice::NewOnly) && file.write("earlier") == 7);
        }
        QCOMPARE(writeNewReport(dir.path(), name, "later"), QString());
        QCOMPARE(entries(dir.path()).size(), MaxReportNameNumber);
        for (const QString &entry : entries(dir.path()))
            QCOMPARE(contents(dir.filePath(entry)), QByteArray("earlier"));

        const QString last = dir.filePath(numberedReportName(name, MaxReportNameNumber));
        QVERIFY(QFile::remove(last));
        QCOMPARE(writeNewReport(dir.path(), name, "later"), last);
        QCOMPARE(contents(last), QByteArray("later"));
    }

    void reportsWrittenAtOnceNeverShareAName()
    {
        // Runs of one workbook to several servers end in the same second.
        QTemporaryDir dir;
        const QString name = QStringLiteral("Р отчёт 2026-01-02 03-04-05.csv");
        constexpr int writers = 8, each = 5;
        std::vector<QStringList> paths(writers);
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int w = 0; w < writers; ++w)
            threads.emplace_back([&, w] {
                ++ready;
                while (ready.load() < writers)
                    std::this_thread::yield();
                for (int i = 0; i < each; ++i)
                    paths[size_t(w)]
                        << writeNewReport(dir.path(), name, QByteArray::number(w * each + i));
            });
        for (std::thread &thread : threads)
            thread.join();

        QSet<QString> distinct;
        for (int w = 0; w < writers; ++w)
            for (int i = 0; i < each; ++i) {
                const QString path = paths[size_t(w)].at(i);
                QVERIFY(!path.isEmpty());
                distinct << path;
                QCOMPARE(contents(path), QByteArray::number(w * each + i));
            }
        QCOMPARE(distinct.size(), writers * each);
        QCOMPARE(entries(dir.path()).size(), writers * each);
    }
};

QTEST_APPLESS_MAIN(TestRunReport)
#include "tst_runreport.moc"
