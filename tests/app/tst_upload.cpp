#include "app/main.h"

#include "DevService.h"
#include "LogText.h"
#include "ScopedLogFolder.h"
#include "TestCertificates.h"
#include "TestFiles.h"
#include "Watchdog.h"
#include "app/MessageBoxes.h"
#include "app/uLaunchParams.h"
#include "diag/Exception.h"
#include "diag/uLogWriter.h"
#include "net/FormPostClient.h"
#include "upload/PostWorker.h"
#include "upload/ThreadStart.h"
#include "upload/uUploadData.h"

#include <QCheckBox>
#include <QDirIterator>
#include <QFileDialog>
#include <QJsonArray>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <optional>

namespace
{

struct Box {
    BoxIcon icon;
    QString title;
    QString text;
};

const QString authRefusedText = QStringLiteral(
    "Программе не удалось авторизоваться на сервере для загрузки реестра УНМЗ! \r\nВероятно "
    "пользователь скачавший приложение завершил работу на сервере или его сессия завершилась. "
    "\r\nПожалуйста, попробуйте скачать приложение и загрузить реестр заново. \r\nЕсли ошибка "
    "повторится - обратитесь к разработчику приложения.");

QStringList logFiles(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files);
}

// The journal's lines without their "N. date time " stamps.
QStringList journalMessages(const TForm1 &form)
{
    QStringList messages;
    for (const QString &line : form.reMessages->toPlainText().split(u'\n', Qt::SkipEmptyParts))
        messages << line.section(u' ', 3);
    return messages;
}

} // namespace

class TestUpload : public QObject
{
    Q_OBJECT

    ScopedLogFolder m_logs; // no run of these tests writes into the build tree
    QTemporaryDir m_dir;
    QString m_workbook;
    QList<Box> m_boxes;

    void setParams(const QStringList &items)
    {
        launchParams.clear();
        valuedParams.clear();
        buildLaunchParams(items);
    }

    // Presses the upload button and picks `path` in the open dialog (empty: cancel).
    void clickUpload(TForm1 &form, const QString &path)
    {
        QTimer::singleShot(0, &form, [&form, path] {
            if (path.isEmpty()) {
                form.openDialog()->reject();
                return;
            }
            form.openDialog()->selectFile(path);
            static_cast<QDialog *>(form.openDialog())->accept();
        });
        form.Button1Click();
    }

    bool waitForNotice(int timeoutMs = 60000)
    {
        QElapsedTimer timer;
        timer.start();
        while (m_boxes.isEmpty() && timer.elapsed() < timeoutMs)
            QTest::qWait(50);
        return !m_boxes.isEmpty();
    }

private slots:
    void initTestCase()
    {
        TDataUploader::stageClosingWaitMs = 200;
        m_workbook = m_dir.path() + QStringLiteral("/Реестр УНМЗ.xlsx");
        writeFile(m_workbook, "workbook bytes");
        writeFile(m_dir.path() + "/Акт приёмки.pdf", "%PDF-1.4 top");
        writeFile(m_dir.path() + "/Участок 1/План.pdf", "%PDF-1.4 one");
        writeFile(m_dir.path() + "/Участок 1/Кадастр/Выписка №8.PDF", "%PDF-1.4 two");
        setMessageBoxHookForTesting(
            [this](BoxIcon icon, const QString &title, const QString &text) {
                m_boxes << Box{icon, title, text};
            });
    }

    void cleanupTestCase()
    {
        setMessageBoxHookForTesting({});
        TForm1::setJournalStampForTesting({});
    }

    void init()
    {
        m_boxes.clear();
        // One-word date and time, so a line's message starts after its third blank.
        TForm1::setJournalStampForTesting([] {
            return std::pair<QString, QString>(QStringLiteral("DATE"), QStringLiteral("TIME"));
        });
    }

    void happyPathStoresTheTreeAndReportsSuccess()
    {
        DevService service({"--stage-seconds", "0.5", "--sid", "web1"});
        QVERIFY(service.isRunning());
        setParams({"ADR=" + service.address(), "sid=web1"});
        TForm1 form;
        clickUpload(form, m_workbook);
        QVERIFY(waitForNotice());

        QCOMPARE(m_boxes.first().title, QString("Загрузка завершена"));
        QCOMPARE(m_boxes.first().icon, BoxIcon::Information);
        const QStringList messages = journalMessages(form);
        QCOMPARE(
            messages.first(), "Успешная авторизация на сервере \"" + service.address() + "\"!");
        QCOMPARE(messages.last(),
            QString("Загрузка реестра успешно завершена! Подробности в журнале работы."));
        for (const char *document :
            {"/Акт приёмки.pdf", "/Участок 1/План.pdf", "/Участок 1/Кадастр/Выписка №8.PDF"})
            QVERIFY2(messages.contains("Документ \"" + m_dir.path() + QString::fromUtf8(document)
                         + "\"  успешно передан на сервер!"),
                qPrintable(messages.join('\n')));
        QVERIFY(form.Button1->isEnabled());

        QCOMPARE(service.actionsWithoutPolls(),
            QStringList({"auth", "getSession", "loadFile", "processRegistry", "loadFile",
                "loadFile", "loadFile", "processFiles"}));
        QStringList stored;
        QDirIterator it(service.dataDir(), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            stored << it.next().section(u'/', -2);
        stored.sort();
        // Documents two levels down go with their first-level folder's name.
        QVERIFY2(
            stored.contains(QString("Участок 1/Выписка №8.PDF")), qPrintable(stored.join('\n')));
        QVERIFY2(stored.contains(QString("Участок 1/План.pdf")), qPrintable(stored.join('\n')));

        // A second upload in the same run goes through the same job client, cookies included.
        const qsizetype before = service.requests().size();
        m_boxes.clear();
        clickUpload(form, m_workbook);
        QVERIFY(waitForNotice());
        const QList<QJsonObject> requests = service.requests();
        for (qsizetype i = before; i < requests.size(); ++i)
            if (requests.at(i)["action"] == "getSession")
                QVERIFY(!requests.at(i)["cookie"].toString().isEmpty());
    }

    void refusedThreadEndsTheRunWithTheButtonOn_data()
    {
        QTest::addColumn<QString>("thread");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("lastMessage");
        QTest::addColumn<QString>("logged");
        QTest::newRow("the job's thread") << "TDataUploader"
                                          << "Ошибка!" << UploadTexts::completedWithErrors
                                          << QString(TDataUploader::notStartedText);
        QTest::newRow("the authorisation's worker")
            << PostWorker::workerName << "Ошибка авторизации" << UploadTexts::notAuthorised
            << PostWorker::notStartedText;
    }

    void refusedThreadEndsTheRunWithTheButtonOn()
    {
        QFETCH(QString, thread);
        QFETCH(QString, title);
        QFETCH(QString, lastMessage);
        QFETCH(QString, logged);
        Watchdog watchdog(120, "an upload whose thread was refused");
        DevService service({"--stage-seconds", "0.2", "--sid", "web1"});
        QVERIFY(service.isRunning());
        setParams({"ADR=" + service.address(), "sid=web1"});
        TForm1 form;
        setThreadStartRefusedForTesting(
            [thread](const QThread &started) { return started.objectName() == thread; });
        clickUpload(form, m_workbook);
        const bool noticed = waitForNotice(5000);
        setThreadStartRefusedForTesting({});
        QVERIFY(noticed);
        QCOMPARE(m_boxes.first().title, title);
        QCOMPARE(journalMessages(form).last(), lastMessage);
        QVERIFY(form.Button1->isEnabled());
        QVERIFY(!form.uploadRun().jobActive());
        QVERIFY(!form.uploadRun().process);
        const QString log = logText(m_logs.path(), LogRead::Take);
        QVERIFY2(log.contains(logged), qPrintable(log));
    }

    void refusedBeforeAnyRequest_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("message");
        QTest::newRow("dialog cancelled")
            << QString() << "Не выбран файл реестра. Загрузка файлов не выполнена";
        QTest::newRow("extension in capitals")
            << "/tmp/x.XLS"
            << "Файл реестра должен быть документом Excel! Загрузка файлов не выполнена";
        QTest::newRow("dot only in a folder name")
            << "/tmp/a.xls/reestr"
            << "Файл реестра должен быть документом Excel! Загрузка файлов не выполнена";
    }

    void refusedBeforeAnyRequest()
    {
        QFETCH(QString, path);
        QFETCH(QString, message);
        DevService service;
        setParams({"ADR=" + service.address()});
        TForm1 form;
        if (!path.isEmpty())
            writeFile(path, "x");
        clickUpload(form, path);
        const QStringList lines = form.reMessages->toPlainText().split(u'\n');
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines.first().startsWith("1. "));
        QVERIFY(lines.first().endsWith(message));
        QVERIFY(service.actions().isEmpty());
        if (!path.isEmpty())
            QFile::remove(path);
    }

    void authRefusedShowsTheBoxThenTheLine()
    {
        DevService service({"--refuse-auth"});
        setParams({"ADR=" + service.address(), "sid=web1"});
        TForm1 form;
        QStringList linesWhenBoxShown;
        setMessageBoxHookForTesting([&](BoxIcon icon, const QString &title, const QString &text) {
            m_boxes << Box{icon, title, text};
            linesWhenBoxShown = journalMessages(form);
        });
        clickUpload(form, m_workbook);
        setMessageBoxHookForTesting(
            [this](BoxIcon icon, const QString &title, const QString &text) {
                m_boxes << Box{icon, title, text};
            });

        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(m_boxes.first().title, QString("Ошибка авторизации"));
        QCOMPARE(m_boxes.first().icon, BoxIcon::Error);
        QCOMPARE(m_boxes.first().text, authRefusedText);
        QCOMPARE(linesWhenBoxShown.size(), 1);
        QVERIFY(linesWhenBoxShown.first().startsWith(
            "НЕУДАЧНАЯ АВТОРИЗАЦИЯ на сервере \"" + service.address() + "\"! Вероятно"));
        QVERIFY(linesWhenBoxShown.first().contains("заново скачав приложениеЕсли ошибка"));
        QCOMPARE(journalMessages(form).last(),
            QString("Программе не удалось авторизоваться на сервере для загрузки реестра УНМЗ!"));
        QCOMPARE(service.actions(), QStringList{"auth"});
        QCOMPARE(
            service.requests().first()["fields"].toObject()["sid"].toString(), QString("web1"));
        QVERIFY(form.Button1->isEnabled());
        QVERIFY(dataUploader.isNull() || !dataUploader->isRunning());
    }

    void authorisationFailureKinds_data()
    {
        QTest::addColumn<QStringList>("serviceOptions");
        QTest::addColumn<QString>("address"); // "%1": the service's host and port
        QTest::addColumn<QString>("cause");   // empty: the service's refusal
        QTest::newRow("the service refuses: the session box and line, as always")
            << QStringList{"--refuse-auth"} << "http://%1"
            << "";
        QTest::newRow("nothing listens") << QStringList{"--down"} << "http://%1"
                                         << "соединение отклонено";
        QTest::newRow("no http:// in the address") << QStringList{} << "%1"
                                                   << "в адресе нет http://";
        QTest::newRow("closed without a reply") << QStringList{"--drop-on", "auth"} << "http://%1"
                                                << "сервер закрыл соединение";
    }

    void authorisationFailureKinds()
    {
        QFETCH(QStringList, serviceOptions);
        QFETCH(QString, address);
        QFETCH(QString, cause);
        const bool down = serviceOptions.removeAll("--down") > 0;
        std::optional<DevService> service(std::in_place, serviceOptions);
        const QString hostPort = service->address().mid(QStringLiteral("http://").size());
        if (down)
            service.reset(); // its port is free again: a connection is refused
        address = address.arg(hostPort);
        setParams({"ADR=" + address, "sid=web1"});
        TForm1 form;
        clickUpload(form, m_workbook);

        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(m_boxes.first().icon, BoxIcon::Error);
        if (cause.isEmpty()) {
            QCOMPARE(m_boxes.first().title, QString("Ошибка авторизации"));
            QCOMPARE(m_boxes.first().text, authRefusedText);
            QCOMPARE(journalMessages(form).last(), UploadTexts::notAuthorised);
        } else {
            QCOMPARE(m_boxes.first().title, QString("Нет связи с сервером"));
            QCOMPARE(m_boxes.first().text,
                QString("Не удалось подключиться к серверу %1: %2.\nПроверьте адрес сервера и "
                        "подключение к сети.\nЖурнал ошибок: %3")
                    .arg(address, cause, logFilePath()));
            QCOMPARE(journalMessages(form),
                QStringList{
                    "Не удалось подключиться к серверу \"" + address + "\": " + cause + "."});
        }
        QVERIFY(form.Button1->isEnabled());
    }

    // An https service whose certificate is not trusted: the user is asked before any
    // request; "Отмена" sends nothing, trust lasts for the session.
    void untrustedCertificateIsAskedAbout()
    {
        const TestCertificates certificates;
        QVERIFY(certificates.isValid());
        DevService service({"--stage-seconds", "0.2", "--sid", "web1", "--tls",
            certificates.leafFile(), certificates.keyFile()});
        QVERIFY2(service.isRunning(), qPrintable(service.output()));
        setParams({"ADR=" + service.address(), "sid=web1"});
        TForm1 form;
        QStringList questions;
        bool trust = false;
        setQuestionHookForTesting([&](const QString &title, const QString &text) {
            questions << title + u'|' + text;
            return trust;
        });
        clickUpload(form, m_workbook);
        QCOMPARE(questions.size(), 1);
        QVERIFY2(questions.first().startsWith("Сертификат сервера не подтверждён|Сертификат "
                                              "сервера 127.0.0.1 не подтверждён: издатель «Test "
                                              "Office Root CA»"),
            qPrintable(questions.first()));
        QVERIFY(questions.first().contains(
            "\nОтпечаток SHA-256: " + certificates.leafSha256().mid(0, 2) + u':'));
        QCOMPARE(journalMessages(form), QStringList{certificateRefusedText});
        QVERIFY(service.actions().isEmpty());
        QVERIFY(form.Button1->isEnabled());

        trust = true;
        clickUpload(form, m_workbook);
        QVERIFY(waitForNotice());
        QCOMPARE(m_boxes.last().title, QString("Загрузка завершена"));
        QCOMPARE(questions.size(), 2);
        m_boxes.clear();
        clickUpload(form, m_workbook); // trusted for the session: no question
        QVERIFY(waitForNotice());
        QCOMPARE(questions.size(), 2);
        setQuestionHookForTesting({});
    }

    void onlyExactlyFalseSkipsAuthorisation_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("authSent");
        QTest::newRow("false skips") << "false" << false;
        QTest::newRow("False does not") << "False" << true;
        QTest::newRow("empty does not") << "" << true;
    }

    void onlyExactlyFalseSkipsAuthorisation()
    {
        QFETCH(QString, value);
        QFETCH(bool, authSent);
        DevService service({"--refuse-auth", "--stage-seconds", "0.1"});
        setParams({"ADR=" + service.address(), "auth=" + value});
        TForm1 form;
        clickUpload(form, m_workbook);
        if (!authSent)
            QVERIFY(waitForNotice());
        QCOMPARE(service.actions().value(0), authSent ? QString("auth") : QString("getSession"));
    }

    void failuresEndInTheErrorNotice_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QStringList>("actions");
        QTest::newRow("workbook held open by another program")
            << QStringList{"--lock"} << QStringList{"getSession"};
        QTest::newRow("name typed for a workbook that does not exist")
            << QStringList{"--missing"} << QStringList{"getSession"};
        QTest::newRow("processRegistry refused: no document sent") << QStringList{
            "--fail-process-registry"} << QStringList{"getSession", "loadFile", "processRegistry"};
        QTest::newRow("connection dropped during processFiles")
            << QStringList{"--drop-on", "processFiles"}
            << QStringList{"getSession", "loadFile", "processRegistry", "loadFile", "loadFile",
                   "loadFile", "processFiles"};
    }

    void failuresEndInTheErrorNotice()
    {
        QFETCH(QStringList, options);
        QFETCH(QStringList, actions);
        const bool lock = options.removeAll("--lock") > 0;
        const bool missing = options.removeAll("--missing") > 0;
        const QString workbook
            = missing ? m_dir.path() + QStringLiteral("/Нет такого реестра.xlsx") : m_workbook;
        const QString lockFile = m_dir.path() + QStringLiteral("/.~lock.Реестр УНМЗ.xlsx#");
        if (lock)
            writeFile(lockFile, "x");
        DevService service(options + QStringList{"--stage-seconds", "0.2"});
        setParams({"ADR=" + service.address(), "auth=false"});
        TForm1 form;
        clickUpload(form, workbook);
        const bool noticed = waitForNotice();
        QFile::remove(lockFile);
        QVERIFY(noticed);

        QCOMPARE(m_boxes.first().title, QString("Ошибка!"));
        QCOMPARE(m_boxes.first().icon, BoxIcon::Error);
        QCOMPARE(m_boxes.first().text,
            QString("Процедура загрузки реестра завершена с ОШИБКАМИ. Подробности смотрите в "
                    "журнале работы..."));
        QCOMPARE(journalMessages(form).last(),
            QString("В процессе загрузки возникли ошибки! Подробности в журнале работы."));
        QCOMPARE(service.actionsWithoutPolls(), actions);
        if (lock || missing)
            QVERIFY(journalMessages(form).contains(
                "Нет доступа к файлу \"" + workbook + "\"! Вероятно он открыт другим приложением"));
        else // the final fetch still runs after the failed processing request
            QCOMPARE(service.actions().last(), QString("progress"));
    }

    void pollsFollowAnEditedAddress()
    {
        DevService first({"--stage-seconds", "5"}), second;
        setParams({"auth=false"});
        TForm1 form;
        form.edtServer->setText(first.address());
        clickUpload(form, m_workbook);
        QTRY_VERIFY_WITH_TIMEOUT(first.actions().contains("processRegistry"), 20000);
        form.edtServer->setText(second.address());
        QVERIFY(waitForNotice());
        QVERIFY(second.actions().contains("progress"));
        QVERIFY(second.actionsWithoutPolls().isEmpty());
        QVERIFY(first.actionsWithoutPolls().contains("processFiles"));
    }

    void modalDialogDuringAPollHoldsNothingUp()
    {
        // Stages long enough for a poll, and every reply slow enough to catch one in flight.
        DevService service({"--stage-seconds", "3", "--slow", "0.3"});
        setParams({"ADR=" + service.address(), "auth=false"});
        TForm1 form;
        form.show();
        bool opened = false;
        QStringList actionsWhenClosed;
        QTimer watch;
        watch.setInterval(5);
        connect(&watch, &QTimer::timeout, &form, [&] {
            if (opened || !form.uploadRun().fetchInProgress())
                return;
            opened = true;
            watch.stop();
            // The user opens the journal's save dialog while the poll waits for its reply,
            // and leaves it open until the job has asked for its last stage (30 s at most).
            QElapsedTimer openFor;
            openFor.start();
            QTimer closer;
            closer.setInterval(50);
            connect(&closer, &QTimer::timeout, form.saveDialog(), [&] {
                if (service.actionsWithoutPolls().contains("processFiles")
                    || openFor.elapsed() > 30000)
                    form.saveDialog()->reject();
            });
            closer.start();
            form.N3Click();
            actionsWhenClosed = service.actionsWithoutPolls();
        });
        watch.start();
        clickUpload(form, m_workbook);
        QVERIFY(waitForNotice());
        QVERIFY(opened);
        // The poll, the stage's final fetch and the documents all went on behind the dialog.
        QCOMPARE(actionsWhenClosed.value(actionsWhenClosed.size() - 1), QString("processFiles"));
        QCOMPARE(actionsWhenClosed.count("loadFile"), 4);
        QCOMPARE(m_boxes.first().title, QString("Загрузка завершена"));
    }

    void secondCommandWhileAJobRunsStartsNone()
    {
        DevService service({"--stage-seconds", "0.3"});
        setParams({"ADR=" + service.address(), "auth=false"});
        TForm1 form;
        QTimer::singleShot(0, &form, [&] {
            form.openDialog()->selectFile(m_workbook);
            static_cast<QDialog *>(form.openDialog())->accept();
        });
        form.Button1->click();
        // Off before the job's first step: a click handled right after starts nothing.
        const bool offAfterCommand = !form.Button1->isEnabled();
        bool secondDialog = false;
        QTimer::singleShot(0, &form, [&] {
            if (!form.openDialog()->isVisible())
                return;
            secondDialog = true;
            form.openDialog()->selectFile(m_workbook);
            static_cast<QDialog *>(form.openDialog())->accept();
        });
        form.Button1->click();
        form.Button1Click(); // even a direct call while the job runs starts none
        QVERIFY(offAfterCommand);
        QVERIFY(waitForNotice());
        QVERIFY(!secondDialog);
        QCOMPARE(service.actionsWithoutPolls().count("getSession"), 1);
        QCOMPARE(m_boxes.size(), 1);
        QVERIFY(form.Button1->isEnabled());
    }

    void buttonOffDuringTheAuthorisationWait()
    {
        DevService service({"--slow", "1", "--stage-seconds", "0.1"});
        setParams({"ADR=" + service.address(), "sid=web1"});
        TForm1 form;
        bool enabledDuringWait = true;
        bool waited = false;
        QTimer::singleShot(500, &form, [&] {
            waited = service.actions() == QStringList{"auth"} || service.actions().isEmpty();
            enabledDuringWait = form.Button1->isEnabled();
        });
        clickUpload(form, m_workbook);
        QVERIFY(waited);
        QVERIFY(!enabledDuringWait);
        QVERIFY(waitForNotice());
        QVERIFY(form.Button1->isEnabled());
    }

    void exitDuringAuthorisationAddsNothing()
    {
        QTemporaryDir logs;
        setLogFolderForTesting(logs.path() + u'/');
        DevService service({"--slow", "30"});
        setParams({"ADR=" + service.address(), "sid=web1"});
        TForm1 form;
        form.show();
        QTimer::singleShot(0, &form, [&] { clickUpload(form, m_workbook); });
        QTimer::singleShot(500, &form, [&] { form.N2Click(); });
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
        guard.start(10000);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(clock.elapsed() < 5000);
        QCOMPARE(service.actions(), QStringList{"auth"});
        QVERIFY2(
            form.reMessages->document()->isEmpty(), qPrintable(form.reMessages->toPlainText()));
        QVERIFY(m_boxes.isEmpty());
        QCOMPARE(logFiles(logs.path()), QStringList());
        setLogFolderForTesting({});
    }

    void missingClientsAreReportedNotDereferenced_data()
    {
        QTest::addColumn<QString>("authParam");
        QTest::newRow("authorisation off") << "auth=false";
        QTest::newRow("authorisation on") << "sid=web1";
    }

    void missingClientsAreReportedNotDereferenced()
    {
        QFETCH(QString, authParam);
        QTemporaryDir logs;
        setLogFolderForTesting(logs.path() + u'/');
        DevService service;
        setParams({"ADR=" + service.address(), authParam});
        UploadRun::setClientFactoryForTesting([]() -> std::unique_ptr<FormPostClient> {
            throw Exception(QStringLiteral("No client today."));
        });
        TForm1 form;
        UploadRun::setClientFactoryForTesting({});
        // Start-up stopped at the clients: the window opens with its design caption.
        QCOMPARE(form.windowTitle(), QString("Загрузка реестра на сервер"));
        QVERIFY(!form.http && !form.timerHttp);

        clickUpload(form, m_workbook);
        form.Timer1Timer(); // a poll tick finds no client either
        QTest::qWait(200);
        QCOMPARE(journalMessages(form), QStringList{UploadTexts::noClients});
        QVERIFY(form.Button1->isEnabled());
        QVERIFY(service.actions().isEmpty());
        QVERIFY(!form.uploadRun().jobActive());
        const QString log = logText(logs.path());
        for (const char *place :
            {"TForm1.FormCreate: ", "TForm1.Button1Click: ", "TForm1.getLogFromServer: "})
            QVERIFY2(log.contains(QLatin1String(place)), qPrintable(log));
        setLogFolderForTesting({});
    }

    void exitDuringAJobEndsAtOnce()
    {
        const ScopedLogFolder logs;
        DevService service({"--slow", "30"});
        setParams({"ADR=" + service.address(), "auth=false"});
        auto *form = new TForm1;
        clickUpload(*form, m_workbook);
        QTRY_VERIFY_WITH_TIMEOUT(!dataUploader.isNull() && dataUploader->isRunning(), 5000);
        QElapsedTimer timer;
        timer.start();
        delete form;
        QVERIFY(timer.elapsed() < 5000);
        QVERIFY(dataUploader.isNull());
        QVERIFY(m_boxes.isEmpty());
        // The post cut short at exit is no failure: the error log stays empty.
        QCOMPARE(logs.files(), QStringList());
        // But the run leaves its report.
        int reports = 0;
        for (const QFileInfo &file : QDir(m_dir.path()).entryInfoList({"*.csv"}, QDir::Files)) {
            QFile report(file.filePath());
            QVERIFY(report.open(QIODevice::ReadOnly));
            if (QString::fromUtf8(report.readAll()).contains("Итог;Загрузка прервана: окно"))
                ++reports;
            report.remove();
        }
        QCOMPARE(reports, 1);
    }
};

QTEST_MAIN(TestUpload)
#include "tst_upload.moc"
