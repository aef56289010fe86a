// The report an upload run writes: its rows against what the dev service received, no
// credential in its bytes, and the log folder when the workbook's folder refuses it.
#include "upload/UploadRun.h"

#include "DevService.h"
#include "ScopedLogFolder.h"
#include "TestFiles.h"
#include "upload/uUploadData.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace
{

class Journal : public JournalSink
{
public:
    void addLine(JournalKind, const QString &text) override { lines << text; }
    QStringList lines;
};

// The report's rows, cells split at ";" (the test's names hold none).
QList<QStringList> rowsOf(const QByteArray &bytes)
{
    QList<QStringList> rows;
    for (const QString &row : QString::fromUtf8(bytes.mid(3)).split(QStringLiteral("\r\n")))
        rows << row.split(u';');
    return rows;
}

} // namespace

class TestRunReportFile : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_workbook;

    // Runs one job against `address` to its end steps (30 s at most).
    bool runJob(UploadRun &run, const QString &address)
    {
        run.createClients();
        run.setServerAddress(address);
        connect(run.pollTimer, &QTimer::timeout, &run, [&run] { run.fetchProgress(); });
        QSignalSpy ended(&run, &UploadRun::jobEnded);
        run.startJob(address, m_workbook);
        return ended.wait(30000);
    }

private slots:
    void initTestCase()
    {
        TDataUploader::stageClosingWaitMs = 200;
        m_workbook = m_dir.filePath(QStringLiteral("Реестр УНМЗ.xlsx"));
        writeFile(m_workbook, "workbook bytes");
        writeFile(m_dir.filePath("Акт приёмки.pdf"), "%PDF-1.4 top");
        writeFile(m_dir.filePath("Участок 1/План.pdf"), "%PDF-1.4 one, a little longer");
        writeFile(m_dir.filePath("Участок 1/Кадастр/Выписка №8.PDF"), "%PDF-1.4 two");
    }

    void reportRowsMatchTheServicesRequests()
    {
        ScopedLogFolder logs;
        DevService service({"--stage-seconds", "0.2", "--fail-load-file", "План.pdf"});
        QVERIFY(service.isRunning());
        Journal journal;
        UploadRun run(journal);
        QSignalSpy written(&run, &UploadRun::reportWritten);
        QVERIFY(runJob(run, service.address()));

        const QString path = run.lastReportPath();
        QCOMPARE(written.size(), 1);
        QCOMPARE(written.first().first().toString(), path);
        QVERIFY2(path.startsWith(m_dir.path() + u'/'), qPrintable(path));
        QCOMPARE(
            journal.lines.last(), QStringLiteral("Отчёт о загрузке сохранён: \"%1\"").arg(path));
        // The report's line comes before the completion line.
        QCOMPARE(run.completionNotice(), std::optional<bool>(false));
        QCOMPARE(journal.lines.last(), UploadTexts::completedWithErrors);
        QCOMPARE(logs.files(), QStringList());

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QVERIFY(bytes.startsWith("\xEF\xBB\xBF"));
        const QList<QStringList> rows = rowsOf(bytes);
        QCOMPARE(rows.at(1).value(1), service.address());
        QCOMPARE(rows.at(5).value(1), UploadTexts::completedWithErrors);

        // What the service received, document by document, in order.
        QList<QStringList> received;
        QStringList secrets;
        for (const QJsonObject &request : service.requests()) {
            const QString cookie = request.value("cookie").toString();
            if (!cookie.isEmpty())
                secrets << cookie.section(u'=', 1).section(u';', 0, 0);
            if (request.value("action").toString() == "getSession")
                secrets << request.value("reply").toString().trimmed();
            if (request.value("action").toString() != "loadFile"
                || request.value("files").toArray().first().toObject().value("name").toString()
                    == "Реестр УНМЗ.xlsx")
                continue;
            const QJsonObject document = request.value("files").toArray().first().toObject();
            received << QStringList{document.value("name").toString(),
                request.value("fields").toObject().value("folder").toString(),
                QString::number(document.value("size").toInteger()),
                request.value("reply").toString()};
        }
        secrets.removeAll(QString());
        QVERIFY(!secrets.isEmpty());
        for (const QString &secret : std::as_const(secrets))
            QVERIFY2(!bytes.contains(secret.toUtf8()), qPrintable(secret));

        const qsizetype titles = rows.indexOf(QStringList{"№", "Документ", "Папка", "Размер, байт",
            "Результат", "Ответ сервера или причина", "Время"});
        QVERIFY(titles > 0);
        QList<QStringList> documents = rows.mid(titles + 1);
        documents.removeAll(QStringList{QString()});
        QCOMPARE(documents.size(), received.size());
        QCOMPARE(documents.size(), 3);
        for (qsizetype i = 0; i < documents.size(); ++i) {
            const QStringList &row = documents.at(i);
            const QStringList &sent = received.at(i);
            QVERIFY2(row.at(1).endsWith(sent.at(0)), qPrintable(row.join(u';')));
            QCOMPARE(row.at(2), sent.at(1));
            QCOMPARE(row.at(3), sent.at(2));
            const bool ok = sent.at(3) == "success";
            QCOMPARE(row.at(4), ok ? QString("передан") : QString("ошибка"));
            QCOMPARE(row.at(5), ok ? QString() : sent.at(3));
            QVERIFY(!row.at(6).isEmpty());
        }
        QCOMPARE(documents.at(1).at(1), QString("Участок 1/План.pdf"));
        QCOMPARE(documents.at(2).at(1), QString("Участок 1/Кадастр/Выписка №8.PDF"));

        const QList<DocumentOutcome> failed = run.lastFailedDocuments();
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.first().relativePath, QString("Участок 1/План.pdf"));
        const JobProgress progress = run.jobProgressSoFar();
        QCOMPARE(progress.documentBytesTotal, qint64(12 + 12 + 29));
        QCOMPARE(progress.documentBytesDone, progress.documentBytesTotal);
        QCOMPARE(run.documentBytesSentSoFar(), progress.documentBytesTotal);
        QVERIFY(run.lastRunBytesPerSecond() > 0);
    }

    void reportGoesToTheLogFolderWhenTheWorkbooksFolderRefuses()
    {
        ScopedLogFolder logs;
        DevService service({"--stage-seconds", "0.2"});
        QVERIFY(service.isRunning());
        const QString refused = m_dir.path() + u'/';
        UploadRun::setReportWriteRefusedForTesting(
            [refused](const QString &path) { return path.startsWith(refused); });
        Journal journal;
        bool ended = false;
        QString path;
        {
            UploadRun run(journal);
            ended = runJob(run, service.address());
            path = run.lastReportPath();
        }
        UploadRun::setReportWriteRefusedForTesting({});
        QVERIFY(ended);
        QCOMPARE(logs.files().size(), 1);
        QCOMPARE(path, logs.path() + u'/' + logs.files().first());
        QVERIFY(path.endsWith(".csv"));
        QCOMPARE(journal.lines.last(),
            QStringLiteral("Отчёт о загрузке сохранён в папке журналов ошибок: \"%1\"").arg(path));
    }

    void aReportNeverReplacesAnEarlierOneOfTheSameName()
    {
        // Earlier reports under every name this run could take (its start is not known
        // beforehand): it keeps them all and takes the next number.
        ScopedLogFolder logs;
        DevService service({"--stage-seconds", "0.2"});
        QVERIFY(service.isRunning());
        const QDateTime now = QDateTime::currentDateTime();
        QStringList earlier;
        for (int second = -1; second <= 60; ++second) {
            earlier << m_dir.filePath(reportFileName(m_workbook, now.addSecs(second)));
            writeFile(earlier.last(), "earlier report");
        }
        Journal journal;
        QString path;
        QList<QVariant> written;
        bool ended = false;
        {
            UploadRun run(journal);
            QSignalSpy spy(&run, &UploadRun::reportWritten);
            ended = runJob(run, service.address());
            path = run.lastReportPath();
            if (!spy.isEmpty())
                written = spy.first();
        }
        QVERIFY(ended);
        QVERIFY2(path.endsWith(" (2).csv"), qPrintable(path));
        QVERIFY(earlier.contains(path.chopped(8) + ".csv"));
        QCOMPARE(written.value(0).toString(), path);
        QVERIFY(
            journal.lines.contains(QStringLiteral("Отчёт о загрузке сохранён: \"%1\"").arg(path)));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().startsWith("\xEF\xBB\xBF"));
        for (const QString &other : std::as_const(earlier)) {
            QFile kept(other);
            QVERIFY(kept.open(QIODevice::ReadOnly));
            QCOMPARE(kept.readAll(), QByteArray("earlier report"));
            QVERIFY(QFile::remove(other));
        }
        QVERIFY(QFile::remove(path));
        QCOMPARE(logs.files(), QStringList());
    }
};

QTEST_MAIN(TestRunReportFile)
#include "tst_runreportfile.moc"
