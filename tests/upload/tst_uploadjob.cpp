#include "upload/uUploadData.h"

#include "DevService.h"
#include "LogText.h"
#include "TestFiles.h"
#include "diag/uLogWriter.h"
#include "net/FormPostClient.h"
#include "net/UploadService.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutex>
#include <QTemporaryDir>
#include <QTest>

namespace
{

// Records what the job asks of the window, in order; the final fetch really polls.
class RecordingHost : public UploadJobHost
{
public:
    explicit RecordingHost(QString address)
        : m_address(std::move(address))
    {
    }

    QStringList events() const
    {
        QMutexLocker lock(&m_mutex);
        return m_events;
    }
    QStringList lines() const
    {
        QStringList result;
        for (const QString &event : events())
            if (event.startsWith(QStringLiteral("plain:"))
                || event.startsWith(QStringLiteral("error:")))
                result << event;
        return result;
    }
    bool processOk() const { return m_ok; }
    JobProgress progress() const
    {
        QMutexLocker lock(&m_mutex);
        return m_progress;
    }
    bool suppressTiles = false;

    void jobLine(LineKind kind, const QString &text) override
    {
        record(QString::fromLatin1(kind == LineKind::Plain ? "plain:" : "error:") + text);
    }
    void setUploadButtonEnabled(bool enabled) override
    {
        record(QStringLiteral("button:") + QString::number(enabled));
    }
    void setPollTimerActive(bool active) override
    {
        record(QStringLiteral("timer1:") + QString::number(active));
    }
    void startCompletionTimer() override { record(QStringLiteral("timer2")); }
    bool drawTilesSuppressed() override { return suppressTiles; }
    void setProcess(bool running) override
    {
        record(QStringLiteral("process:") + QString::number(running));
    }
    void setProcessOk(bool ok) override
    {
        m_ok = ok;
        record(QStringLiteral("ok:") + QString::number(ok));
    }
    void setSessionId(const QString &sessionId) override
    {
        m_sessionId = sessionId;
        record(QStringLiteral("session"));
    }
    void jobProgress(const JobProgress &progress) override
    {
        QMutexLocker lock(&m_mutex);
        m_progress = progress;
    }
    void runFinalFetch() override
    {
        record(QStringLiteral("fetch"));
        try {
            const auto form = UploadService::progressForm(m_sessionId);
            UploadService::send(m_poll, m_address, *form);
        } catch (const std::exception &) {
        }
    }

private:
    void record(const QString &event)
    {
        QMutexLocker lock(&m_mutex);
        m_events << event;
    }

    QString m_address;
    FormPostClient m_poll;
    QString m_sessionId;
    std::atomic<bool> m_ok{false};
    mutable QMutex m_mutex;
    QStringList m_events;
    JobProgress m_progress;
};

} // namespace

class TestUploadJob : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QTemporaryDir m_logs;
    QString m_workbook;

    QString takeLog() { return logText(m_logs.path(), LogRead::Take); }

    void runJob(RecordingHost &host, const DevService &service, FormPostClient &client)
    {
        QPointer<TDataUploader> job(
            new TDataUploader(service.address(), m_workbook, &client, &host));
        QVERIFY(job->wait(60000));
        QTRY_VERIFY(job.isNull()); // a finished job releases itself
    }

private slots:
    void initTestCase()
    {
        TDataUploader::stageClosingWaitMs = 100;
        setLogFolderForTesting(m_logs.path() + u'/');
        m_workbook = m_dir.path() + QStringLiteral("/Реестр УНМЗ.xlsx");
        writeFile(m_workbook, "not really a workbook");
        writeFile(m_dir.path() + "/a.pdf", "%PDF-1.4 a");
        writeFile(m_dir.path() + "/Папка 1/б.pdf", "%PDF-1.4 b");
        writeFile(m_dir.path() + "/Папка 1/Q/в.PDF", "%PDF-1.4 c");
        writeFile(m_dir.path() + "/Папка 1/Q/R/г.pdf", "%PDF-1.4 d");
        writeFile(m_dir.path() + "/notes.txt", "not a document");
    }

    void happyPath()
    {
        DevService service({"--stage-seconds", "0.3"});
        QVERIFY2(service.isRunning(), qPrintable(service.output()));
        RecordingHost host(service.address());
        FormPostClient client;
        runJob(host, service, client);

        QCOMPARE(service.actionsWithoutPolls(),
            QStringList({"getSession", "loadFile", "processRegistry", "loadFile", "loadFile",
                "loadFile", "loadFile", "processFiles"}));
        QStringList folders;
        for (const QJsonObject &request : service.requests())
            if (request["action"] == "loadFile")
                folders << request["fields"].toObject()["folder"].toString() + u'|'
                        + request["files"].toArray().at(0).toObject()["name"].toString();
        QCOMPARE(folders,
            QStringList({"|Реестр УНМЗ.xlsx", "|a.pdf", "Папка 1|б.pdf", "Папка 1|в.PDF",
                "Папка 1\\Q|г.pdf"}));

        const QStringList events = host.events();
        QCOMPARE(events.first(), QString("button:0"));
        QCOMPARE(events.mid(events.size() - 3), QStringList({"button:1", "process:0", "timer2"}));
        QVERIFY(host.processOk());
        const JobProgress progress = host.progress();
        QCOMPARE(progress.step, JobProgress::Step::Ended);
        QVERIFY(progress.workbookSent && progress.workbookDelivered);
        QCOMPARE(progress.documentsSent, 4);
        QCOMPARE(progress.documentsTotal, 4);
        const QString workbook = m_workbook;
        QCOMPARE(host.lines(),
            QStringList({"plain:Реестр УНМЗ \"" + workbook + "\"  успешно передан на сервер!",
                "plain:Начинаем загрузку сведений из реестра УНМЗ \"" + workbook
                    + "\" на сервере. Пожалуйста подождите ...",
                "plain:Начинаем передавать на сервер документы.",
                "plain:Документ \"" + m_dir.path() + "/a.pdf\"  успешно передан на сервер!",
                "plain:Документ \"" + m_dir.path() + "/Папка 1/б.pdf\"  успешно передан на сервер!",
                "plain:Документ \"" + m_dir.path()
                    + "/Папка 1/Q/в.PDF\"  успешно передан на сервер!",
                "plain:Документ \"" + m_dir.path()
                    + "/Папка 1/Q/R/г.pdf\"  успешно передан на сервер!",
                "plain:Прикрепляем документы к УНМЗ."}));
        // Each processing stage: polls on, request, polls off, then the final fetch.
        QCOMPARE(events.count("timer1:1"), 2);
        QCOMPARE(events.count("fetch"), 2);
        QVERIFY(events.indexOf("fetch") == events.indexOf("timer1:0") + 1);
        // A second upload through the same client carries the first job's cookie.
        runJob(host, service, client);
        const QList<QJsonObject> requests = service.requests();
        const QJsonObject firstOfSecondJob = [&] {
            int sessions = 0;
            for (const QJsonObject &request : requests)
                if (request["action"] == "getSession" && ++sessions == 2)
                    return request;
            return QJsonObject();
        }();
        QVERIFY2(!firstOfSecondJob["cookie"].toString().isEmpty(),
            qPrintable(service.actions().join(',')));
    }

    void workbookHeldOpenByAnotherProgram()
    {
        DevService service;
        QVERIFY(service.isRunning());
        const QString lock = m_dir.path() + QStringLiteral("/.~lock.Реестр УНМЗ.xlsx#");
        writeFile(lock, "someone,host,12345;");
        RecordingHost host(service.address());
        FormPostClient client;
        runJob(host, service, client);
        QFile::remove(lock);

        QCOMPARE(service.actionsWithoutPolls(), QStringList({"getSession"}));
        QCOMPARE(host.lines(),
            QStringList({"error:Нет доступа к файлу \"" + m_workbook
                + "\"! Вероятно он открыт другим приложением"}));
        QVERIFY(!host.processOk());
        QVERIFY(!host.events().contains("timer1:1"));
        // Nothing delivered: what the command line's exit status rests on.
        QCOMPARE(host.progress().step, JobProgress::Step::Ended);
        QVERIFY(!host.progress().workbookSent);
    }

    void failedStagesMarkTheJob_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<QString>("errorLine");
        QTest::addColumn<bool>("logged");
        QTest::addColumn<bool>("workbookDelivered");
        const QStringList all{"getSession", "loadFile", "processRegistry", "loadFile", "loadFile",
            "loadFile", "loadFile", "processFiles"};
        QTest::newRow("processRegistry refused: no document is sent")
            << QStringList{"--fail-process-registry"}
            << QStringList{"getSession", "loadFile", "processRegistry"} << QString() << false
            << true;
        QTest::newRow("processFiles refused")
            << QStringList{"--fail-process-files"} << all << QString() << false << true;
        QTest::newRow("a document refused: the job goes on but is not a success")
            << QStringList{"--fail-load-file", "б.pdf"} << all
            << QString("error:Ошибка передачи документа \"%1/Папка 1/б.pdf\"  на сервер!") << false
            << true;
        QTest::newRow("the workbook refused: processing still asked for")
            << QStringList{"--fail-load-file", "Реестр УНМЗ.xlsx"}
            << QStringList{"getSession", "loadFile", "processRegistry"}
            << QString("error:Ошибка передачи реестра УНМЗ \"%1/Реестр УНМЗ.xlsx\"  на сервер!")
            << false << false;
        QTest::newRow("connection dropped during processFiles: the failure is logged")
            << QStringList{"--drop-on", "processFiles"} << all << QString() << true << true;
    }

    void failedStagesMarkTheJob()
    {
        QFETCH(QStringList, options);
        QFETCH(QStringList, actions);
        QFETCH(QString, errorLine);
        QFETCH(bool, logged);
        QFETCH(bool, workbookDelivered);
        takeLog();
        DevService service(options + QStringList{"--stage-seconds", "0.2"});
        QVERIFY(service.isRunning());
        RecordingHost host(service.address());
        FormPostClient client;
        runJob(host, service, client);

        QCOMPARE(service.actionsWithoutPolls(), actions);
        QVERIFY(!host.processOk());
        const QStringList events = host.events();
        // The stage that failed still closes: polls off, then one final fetch.
        QCOMPARE(events.count("timer1:1"), events.count("fetch"));
        QCOMPARE(events.count("timer1:0"), events.count("fetch"));
        QCOMPARE(events.mid(events.size() - 3), QStringList({"button:1", "process:0", "timer2"}));
        if (!errorLine.isEmpty())
            QVERIFY2(host.lines().contains(errorLine.arg(m_dir.path())),
                qPrintable(host.lines().join('\n')));
        QCOMPARE(takeLog().contains(QStringLiteral(" TDataUploader.Execute:  -> : ")), logged);
        QCOMPARE(host.progress().step, JobProgress::Step::Ended);
        QVERIFY(host.progress().workbookSent);
        QCOMPARE(host.progress().workbookDelivered, workbookDelivered);
    }

    void drawTilesFollowsTheBox()
    {
        DevService service({"--stage-seconds", "0.1"});
        RecordingHost host(service.address());
        host.suppressTiles = true;
        FormPostClient client;
        runJob(host, service, client);
        for (const QJsonObject &request : service.requests())
            if (request["action"] == "processRegistry")
                QCOMPARE(request["fields"].toObject()["drawTiles"].toString(), QString("0"));
    }

    void cancelEndsABlockedJob()
    {
        DevService service({"--slow", "30"});
        RecordingHost host(service.address());
        FormPostClient client;
        QPointer<TDataUploader> job(
            new TDataUploader(service.address(), m_workbook, &client, &host));
        QTest::qWait(300);
        takeLog();
        job->cancel();
        QVERIFY(job->wait(5000));
        // Abandoned at exit, not failed: nothing goes to the error log.
        QCOMPARE(takeLog(), QString());
        QTRY_VERIFY(job.isNull());
    }
};

QTEST_MAIN(TestUploadJob)
#include "tst_uploadjob.moc"
