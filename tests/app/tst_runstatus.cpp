#include "app/main.h"

#include "DevService.h"
#include "ScopedLogFolder.h"
#include "ScriptedServer.h"
#include "TestFiles.h"
#include "app/MessageBoxes.h"
#include "app/RunStatusBar.h"
#include "app/SetCheckDialog.h"
#include "app/uLaunchParams.h"
#include "upload/uUploadData.h"

#include <QFileDialog>
#include <QLabel>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

Q_DECLARE_METATYPE(JobProgress::Step)

namespace
{

// Stands in for logind and the notification service; every Inhibit is granted at once
// with a descriptor the test can watch.
struct FakeBus : DesktopBus {
    QStringList *calls;
    int *lastLock;

    FakeBus(QStringList *calls, int *lastLock)
        : calls(calls)
        , lastLock(lastLock)
    {
    }
    bool hasSystemBus() const override { return true; }
    bool hasSessionBus() const override { return true; }
    void inhibit(const QString &what, const QString &, const QString &, const QString &,
        std::function<void(int)> done) override
    {
        *calls << QStringLiteral("Inhibit ") + what;
        *lastLock = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        done(*lastLock);
    }
    void notify(
        const QString &, const QString &, const QString &summary, const QString &body) override
    {
        *calls << QStringList{QStringLiteral("Notify"), summary, body}.join(u'|');
    }
};

bool isOpen(int fd)
{
    return fd >= 0 && ::fcntl(fd, F_GETFD) != -1;
}

void setParams(const QStringList &items)
{
    launchParams.clear();
    valuedParams.clear();
    buildLaunchParams(items);
}

} // namespace

class TestRunStatus : public QObject
{
    Q_OBJECT

    ScopedLogFolder m_logs;
    QStringList m_calls;
    int m_lock = -1;

private slots:
    void initTestCase()
    {
        TDataUploader::stageClosingWaitMs = 200;
        TForm1::setDesktopBusFactoryForTesting(
            [this] { return std::make_unique<FakeBus>(&m_calls, &m_lock); });
    }

    void cleanupTestCase()
    {
        TForm1::setDesktopBusFactoryForTesting({});
        setMessageBoxHookForTesting({});
        setParams({});
    }

    void init()
    {
        m_calls.clear();
        m_lock = -1;
    }

    void statusAtEachStage_data()
    {
        QTest::addColumn<JobProgress::Step>("step");
        QTest::addColumn<int>("sent");
        QTest::addColumn<qint64>("bytesSent");
        QTest::addColumn<QString>("stage");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<int>("permille"); // -1: a busy bar

        using Step = JobProgress::Step;
        QTest::newRow("session") << Step::Session << 0 << 0LL << "Подготовка загрузки"
                                 << "" << -1;
        QTest::newRow("workbook") << Step::Workbook << 0 << 0LL << "Передача реестра"
                                  << "" << -1;
        QTest::newRow("registry") << Step::Registry << 0 << 0LL << "Обработка реестра на сервере"
                                  << "" << -1;
        QTest::newRow("first document")
            << Step::Documents << 0 << 0LL << "Передача документов: 1 из 4"
            << "0 Б из 4,0 КБ" << 0;
        QTest::newRow("third document, part on the wire")
            << Step::Documents << 2 << 2560LL << "Передача документов: 3 из 4"
            << "2,5 КБ из 4,0 КБ" << 625;
        QTest::newRow("attaching")
            << Step::Attaching << 4 << 4096LL << "Прикрепление документов на сервере"
            << "" << -1;
        QTest::newRow("ended") << Step::Ended << 4 << 4096LL << "Загрузка завершена"
                               << "" << 1000;
    }

    void statusAtEachStage()
    {
        QFETCH(JobProgress::Step, step);
        QFETCH(int, sent);
        QFETCH(qint64, bytesSent);
        JobProgress progress;
        progress.step = step;
        progress.documentsSent = sent;
        progress.documentsTotal = 4;
        progress.documentBytesTotal = 4096;
        RunStatusBar bar([&] { return std::pair{progress, bytesSent}; });
        bar.sample();
        QTEST(bar.stageText(), "stage");
        QTEST(bar.detailText(), "detail");
        QVERIFY(bar.barShown());
        QTEST(bar.barPermille(), "permille");
    }

    void authorisationIdleAndEnd()
    {
        RunStatusBar bar([] { return std::pair{JobProgress{}, qint64(0)}; });
        QCOMPARE(bar.stageText(), QString());
        QVERIFY(!bar.barShown());
        bar.showAuthorisation();
        QCOMPARE(bar.stageText(), QStringLiteral("Авторизация на сервере"));
        QVERIFY(bar.barBusy());
        bar.showIdle(); // a refused authorisation
        QCOMPARE(bar.stageText(), QString());
        QVERIFY(!bar.barShown());
        bar.jobStarted();
        QVERIFY(bar.sampling());
        bar.jobEnded();
        QVERIFY(!bar.sampling());
        QCOMPARE(bar.stageText(), QStringLiteral("Загрузка завершена"));
        QCOMPARE(bar.barPermille(), 1000);
    }

    void samplesAtMostTenASecondAndShowsSpeedAndTimeLeft()
    {
        int samples = 0;
        JobProgress progress;
        progress.step = JobProgress::Step::Documents;
        progress.documentsTotal = 2;
        progress.documentBytesTotal = 100 * 1024 * 1024;
        QElapsedTimer clock;
        clock.start();
        RunStatusBar bar([&] {
            ++samples;
            return std::pair{progress, clock.elapsed() * 1024}; // 1000 КБ/с or so
        });
        bar.jobStarted();
        QTest::qWait(1000);
        QVERIFY2(samples <= 12, qPrintable(QString::number(samples)));
        QVERIFY(samples >= 3);
        QTRY_VERIFY(bar.detailText().contains(QStringLiteral("/с, осталось ")));
        bar.jobEnded();
        const int atEnd = samples;
        QTest::qWait(300);
        QCOMPARE(samples, atEnd); // no sampling once the job is over
    }

    // The machine stays awake from the job's start to its end, the bar follows the job,
    // and a run that ends while the window is not the active one is announced.
    void sleepLockStatusAndNoticeDuringARealJob()
    {
        QTemporaryDir dir;
        const QString workbook = dir.path() + QStringLiteral("/Реестр.xlsx");
        writeFile(workbook, "workbook");
        writeFile(dir.path() + QStringLiteral("/Акт.pdf"), "%PDF-1.4 act");
        DevService service({"--stage-seconds", "0.5", "--slow", "0.2"});
        QVERIFY(service.isRunning());
        setParams({"ADR=" + service.address(), "auth=false"});
        QList<QStringList> boxes;
        setDetailedMessageBoxHookForTesting(
            [&](BoxIcon, const QString &title, const QString &text, const QString &details) {
                boxes << QStringList{title, text, details};
            });
        TForm1 form; // never shown, so never the active window
        QSet<QString> stages;
        bool lockedWhileRunning = true;
        QTimer watch;
        connect(&watch, &QTimer::timeout, &form, [&] {
            stages << form.sbStatus->stageText().section(u':', 0, 0);
            if (form.uploadRun().jobActive() && form.uploadRun().process)
                lockedWhileRunning = lockedWhileRunning && form.desktopServices().sleepLockHeld();
        });
        watch.start(20);
        QTimer::singleShot(0, &form, [&form, workbook] {
            form.openDialog()->selectFile(workbook);
            static_cast<QDialog *>(form.openDialog())->accept();
        });
        form.Button1Click();
        QVERIFY(form.desktopServices().sleepLockHeld());
        QCOMPARE(m_calls.value(0), QStringLiteral("Inhibit sleep"));
        const int lock = m_lock;
        QVERIFY(isOpen(lock));
        QTRY_VERIFY_WITH_TIMEOUT(!boxes.isEmpty(), 60000);
        watch.stop();
        setMessageBoxHookForTesting({});

        QVERIFY(lockedWhileRunning);
        QVERIFY(!form.desktopServices().sleepLockHeld());
        QVERIFY(!isOpen(lock));
        QCOMPARE(form.sbStatus->stageText(), QStringLiteral("Загрузка завершена"));
        QVERIFY(!form.sbStatus->sampling());
        for (const char *stage : {"Передача реестра", "Обработка реестра на сервере",
                 "Прикрепление документов на сервере"})
            QVERIFY2(stages.contains(QString::fromUtf8(stage)), stage);
        // The box lists what the run left behind, in the run's own words.
        QCOMPARE(boxes.first().at(2),
            completionDetailsText(
                form.uploadRun().lastFailedDocuments(), form.uploadRun().lastReportPath()));
        QCOMPARE(m_calls.size(), 2);
        QCOMPARE(m_calls.at(1),
            QStringList({"Notify", boxes.first().at(0), boxes.first().at(1)}).join(u'|'));
    }

    void noticeOnlyWhenTheWindowIsNotActive_data()
    {
        QTest::addColumn<bool>("active");
        QTest::addColumn<bool>("ok");
        QTest::newRow("elsewhere, success") << false << true;
        QTest::newRow("elsewhere, errors") << false << false;
        QTest::newRow("watching") << true << true;
    }

    void noticeOnlyWhenTheWindowIsNotActive()
    {
        QFETCH(bool, active);
        QFETCH(bool, ok);
        QStringList box;
        setMessageBoxHookForTesting([&](BoxIcon, const QString &title, const QString &text) {
            box = {title, text};
        });
        TForm1 form;
        if (active) {
            form.show();
            form.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&form));
        }
        form.uploadRun().setProcessOk(ok);
        form.uploadRun().setProcess(false);
        form.Timer2->setInterval(20);
        form.uploadRun().startCompletionTimer();
        QTRY_VERIFY(!box.isEmpty());
        setMessageBoxHookForTesting({});
        const QStringList expected
            = active ? QStringList() : QStringList{"Notify|" + box.join(u'|')};
        QCOMPARE(m_calls, expected);
    }

    void completionDetails_data()
    {
        QTest::addColumn<QList<DocumentOutcome>>("failed");
        QTest::addColumn<QString>("report");
        QTest::addColumn<QString>("details");

        DocumentOutcome plan;
        plan.relativePath = QStringLiteral("Участок 1/План.pdf");
        plan.reason = QStringLiteral("Файл пуст.");
        DocumentOutcome act;
        act.relativePath = QStringLiteral("Акт.pdf");
        act.reason = QStringLiteral("Ошибка записи на сервере");
        const QString report = QStringLiteral("/home/u/Реестр отчёт 2024-05-01 10-00-00.csv");

        QTest::newRow("nothing to list") << QList<DocumentOutcome>{} << QString() << QString();
        QTest::newRow("report only")
            << QList<DocumentOutcome>{} << report << "Отчёт о загрузке: " + report;
        QTest::newRow("failed documents and the report")
            << QList<DocumentOutcome>{plan, act} << report
            << "Не загружены документы:\nУчасток 1/План.pdf — Файл пуст.\nАкт.pdf — Ошибка "
               "записи на сервере\n\nОтчёт о загрузке: "
                + report;
    }

    void completionDetails()
    {
        QFETCH(QList<DocumentOutcome>, failed);
        QFETCH(QString, report);
        QTEST(completionDetailsText(failed, report), "details");
    }

    void setCheckListsEveryProblemWithoutARequest()
    {
        QTemporaryDir dir;
        const QString workbook = dir.path() + QStringLiteral("/Реестр.xlsx");
        writeFile(workbook, "workbook");
        writeFile(dir.path() + QStringLiteral("/.~lock.Реестр.xlsx#"), "x");
        writeFile(dir.path() + QStringLiteral("/Хороший.pdf"), "%PDF-1.4 good");
        writeFile(dir.path() + QStringLiteral("/Пустой.pdf"), "");
        writeFile(dir.path() + QStringLiteral("/Скан.pdf"), "JFIF not a pdf");
        writeFile(dir.path() + QStringLiteral("/Акт\\1.pdf"), "%PDF-1.4 bad name");
        ScriptedServer server;
        setParams({"ADR=" + server.url(QString())});
        TForm1 form;
        QTimer::singleShot(0, &form, [&form, workbook] {
            form.openDialog()->selectFile(workbook);
            static_cast<QDialog *>(form.openDialog())->accept();
        });
        form.N5Click();
        SetCheckDialog *dialog = nullptr;
        QTRY_VERIFY((dialog = form.findChild<SetCheckDialog *>()));
        QVERIFY(!form.setCheckRunning());
        QCOMPARE(server.connectionCount(), 0);

        QTableWidget *table = dialog->table;
        QCOMPARE(table->columnCount(), 3);
        QCOMPARE(table->horizontalHeaderItem(0)->text(), QStringLiteral("Файл"));
        QCOMPARE(table->horizontalHeaderItem(1)->text(), QStringLiteral("Проблема"));
        QCOMPARE(table->horizontalHeaderItem(2)->text(), QStringLiteral("Что сделать"));
        QMap<QString, QString> reasons; // file name -> problem
        for (int row = 0; row < table->rowCount(); ++row) {
            QVERIFY(!table->item(row, 2)->text().isEmpty());
            reasons[table->item(row, 0)->text().section(u'/', -1)] = table->item(row, 1)->text();
        }
        QCOMPARE(
            reasons.keys(), QStringList({"Акт\\1.pdf", "Пустой.pdf", "Реестр.xlsx", "Скан.pdf"}));
        QCOMPARE(reasons["Пустой.pdf"], QStringLiteral("Файл пуст."));
        QCOMPARE(reasons["Скан.pdf"], QStringLiteral("Файл не является документом PDF."));
        QCOMPARE(
            reasons["Реестр.xlsx"], QStringLiteral("Файл открыт для записи в другой программе."));
        const QString summary = dialog->summary->text();
        QVERIFY2(summary.contains(QStringLiteral("Найдено документов: 4")), qPrintable(summary));
        QVERIFY(summary.contains(QStringLiteral("Найдено проблем: 4.")));
        QVERIFY(summary.contains(QStringLiteral("только после первой загрузки")));
        dialog->accept();
    }

    void setCheckSummary_data()
    {
        QTest::addColumn<double>("speed");
        QTest::addColumn<int>("problems");
        QTest::addColumn<QString>("summary");
        const QString head = QStringLiteral(
            "Реестр: /r/Реестр.xlsx\nНайдено документов: 3\nОбщий объём загрузки: 1,0 МБ\n");
        QTest::newRow("no upload yet, clean") << 0.0 << 0
                                              << head
                + "Оценить время загрузки можно будет только после первой загрузки реестра.\n"
                  "Проблем не найдено.";
        QTest::newRow("known speed, one problem") << 1024.0 * 16 << 1
                                                  << head
                + "Ориентировочное время загрузки: 0:01:04 (по скорости последней загрузки)\n"
                  "Найдено проблем: 1. Исправьте их перед загрузкой реестра.";
    }

    void setCheckSummary()
    {
        QFETCH(double, speed);
        QFETCH(int, problems);
        SetCheckResult result;
        result.documentCount = 3;
        result.totalBytes = 1024 * 1024;
        for (int i = 0; i < problems; ++i)
            result.problems << SetProblem{"/r/a.pdf", "Файл пуст.", "Уберите."};
        QTEST(SetCheckDialog::summaryText(QStringLiteral("/r/Реестр.xlsx"), result, speed),
            "summary");
        SetCheckDialog dialog(QStringLiteral("/r/Реестр.xlsx"), result, speed);
        QCOMPARE(dialog.table->isHidden(), problems == 0);
    }
};

QTEST_MAIN(TestRunStatus)
#include "tst_runstatus.moc"
