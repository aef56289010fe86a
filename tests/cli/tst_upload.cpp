// unmz-upload run as a user would, against the dev upload service: its journal, exit
// statuses and interrupts, and the same journal and wire as the window's upload.
#include "app/main.h"

#include "DevService.h"
#include "LogText.h"
#include "TestCertificates.h"
#include "TestFiles.h"
#include "TestPaths.h"
#include "Watchdog.h"
#include "app/MessageBoxes.h"
#include "app/uLaunchParams.h"
#include "diag/TimeTexts.h"
#include "diag/uLogWriter.h"
#include "upload/uUploadData.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileDialog>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

// A loopback relay in front of the dev service that keeps the bytes of every exchange,
// one connection each (HTTP/1.0), in the order the connections came.
class WireTap
{
public:
    struct Exchange {
        QByteArray request;
        QByteArray reply;
    };

    explicit WireTap(quint16 upstreamPort)
        : m_upstreamPort(upstreamPort)
    {
        m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
            || ::listen(m_listenFd, 16) != 0
            || ::getsockname(m_listenFd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            return;
        m_port = ntohs(address.sin_port);
        if (::pipe(m_stop) != 0)
            return;
        m_acceptThread = std::thread([this] { acceptLoop(); });
    }

    ~WireTap()
    {
        if (m_acceptThread.joinable()) {
            const char byte = 0;
            (void)!::write(m_stop[1], &byte, 1);
            m_acceptThread.join();
        }
        for (std::thread &thread : m_threads)
            thread.join();
        ::close(m_listenFd);
        ::close(m_stop[0]);
        ::close(m_stop[1]);
    }

    QString address() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }

    QList<Exchange> takeExchanges()
    {
        std::lock_guard lock(m_lock);
        QList<Exchange> all;
        for (const auto &exchange : m_exchanges)
            all << *exchange;
        m_exchanges.clear();
        return all;
    }

private:
    void acceptLoop()
    {
        for (;;) {
            pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 || fds[1].revents)
                return;
            const int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            std::lock_guard lock(m_lock);
            m_exchanges.push_back(std::make_shared<Exchange>());
            m_threads.emplace_back(
                [this, client, exchange = m_exchanges.back()] { relay(client, *exchange); });
        }
    }

    void relay(int client, Exchange &exchange)
    {
        const int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(m_upstreamPort);
        if (::connect(upstream, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
            bool clientOpen = true, upstreamOpen = true;
            char buffer[65536];
            while (clientOpen || upstreamOpen) {
                pollfd fds[3] = {{clientOpen ? client : -1, POLLIN, 0},
                    {upstreamOpen ? upstream : -1, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
                if (::poll(fds, 3, -1) < 0 || fds[2].revents)
                    break;
                if (fds[0].revents) {
                    const ssize_t n = ::read(client, buffer, sizeof buffer);
                    if (n <= 0) {
                        clientOpen = false;
                        ::shutdown(upstream, SHUT_WR);
                    } else {
                        record(exchange.request, buffer, n);
                        (void)!::send(upstream, buffer, size_t(n), MSG_NOSIGNAL);
                    }
                }
                if (fds[1].revents) {
                    const ssize_t n = ::read(upstream, buffer, sizeof buffer);
                    if (n <= 0) {
                        upstreamOpen = false;
                        ::shutdown(client, SHUT_WR);
                    } else {
                        record(exchange.reply, buffer, n);
                        (void)!::send(client, buffer, size_t(n), MSG_NOSIGNAL);
                    }
                }
            }
        }
        ::close(upstream);
        ::close(client);
    }

    void record(QByteArray &bytes, const char *data, ssize_t n)
    {
        std::lock_guard lock(m_lock);
        bytes.append(data, n);
    }

    quint16 m_upstreamPort;
    int m_listenFd = -1;
    int m_stop[2] = {-1, -1};
    quint16 m_port = 0;
    std::thread m_acceptThread;
    std::mutex m_lock;
    std::vector<std::shared_ptr<Exchange>> m_exchanges;
    std::vector<std::thread> m_threads;
};

// The value of a request's "action" field: the part's body after its head.
QByteArray actionOf(const QByteArray &request)
{
    const qsizetype name = request.indexOf("name=\"action\"");
    const qsizetype body = name < 0 ? -1 : request.indexOf("\r\n\r\n", name);
    if (body < 0)
        return {};
    return request.mid(body + 4, request.indexOf("\r\n", body + 4) - body - 4);
}

QByteArray replyBody(const QByteArray &reply)
{
    const qsizetype end = reply.indexOf("\r\n\r\n");
    return end < 0 ? QByteArray() : reply.mid(end + 4);
}

// The requests as they went out, with what differs from run to run made equal: the
// boundary (it holds the time), the job's session id and cookie; and each run of
// progress polls counted as one, since the polls come at their own pace.
QList<QByteArray> comparableWire(const QList<WireTap::Exchange> &exchanges)
{
    static const QRegularExpression boundary(QStringLiteral("boundary=([^\\r\\n;]+)"));
    static const QRegularExpression cookie(QStringLiteral("UNMZJOB=[0-9a-f]+"));
    QByteArray sessionId;
    QList<QByteArray> wire;
    for (const WireTap::Exchange &exchange : exchanges) {
        QByteArray request = exchange.request;
        const auto match = boundary.match(QString::fromLatin1(request));
        if (match.hasMatch())
            request.replace(match.captured(1).toLatin1(), "BOUNDARY");
        if (!sessionId.isEmpty())
            request.replace(sessionId, "SESSION");
        request = QString::fromLatin1(request).replace(cookie, "UNMZJOB=COOKIE").toLatin1();
        const bool poll = actionOf(request) == "progress";
        if (!(poll && !wire.isEmpty() && wire.last() == request))
            wire << request;
        if (actionOf(request) == "getSession")
            sessionId = replyBody(exchange.reply);
    }
    return wire;
}

struct Run {
    int status = -1;
    bool finished = false;
    QByteArray out;
    QByteArray err;
    QStringList lines() const { return QString::fromUtf8(out).split(u'\n', Qt::SkipEmptyParts); }
};

// A journal line's number and message: the line without its date and time texts, which
// have as many words as the clock's texts in this (and the child's) locale.
QString numberAndMessage(const QString &line)
{
    const auto [date, time] = journalStampTexts(QDateTime::currentDateTime(), systemLocaleIsC());
    const int stampWords = int(date.split(u' ').size() + time.split(u' ').size());
    return line.section(u' ', 0, 0) + u' ' + line.section(u' ', 1 + stampWords);
}

// Each run's report is named after its own start time, numbered when two runs share it.
QStringList withoutReportTimes(QStringList lines)
{
    static const QRegularExpression time(
        QStringLiteral(" отчёт \\d{4}-\\d\\d-\\d\\d \\d\\d-\\d\\d-\\d\\d( \\(\\d+\\))?\\.csv\"$"));
    for (QString &line : lines)
        line.replace(time, QStringLiteral(" отчёт TIME.csv\""));
    return lines;
}

} // namespace

class TestCliUpload : public QObject
{
    Q_OBJECT

    QTemporaryDir m_bin; // a copy of the program: its error log goes to logs/ beside it
    QTemporaryDir m_dir;
    QString m_program;
    QString m_workbook;

    // A stack limit no thread's stack fits in: the system refuses every new thread.
    bool m_threadsRefused = false;

    QString logFolder() const { return m_bin.filePath(QStringLiteral("logs")); }

    QString takeLog() { return logText(logFolder(), LogRead::Take); }

    void start(QProcess &process, const QStringList &arguments)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("UNMZ_SESSION"));
        environment.remove(QStringLiteral("COLORTERM"));
        environment.insert(
            QStringLiteral("XDG_STATE_HOME"), m_bin.filePath(QStringLiteral("state")));
        process.setProcessEnvironment(environment);
        if (m_threadsRefused)
            process.setChildProcessModifier([] {
                rlimit limit{};
                ::getrlimit(RLIMIT_STACK, &limit);
                limit.rlim_cur = qMin<rlim_t>(limit.rlim_max, rlim_t(100000000) * 1024);
                ::setrlimit(RLIMIT_STACK, &limit);
            });
        process.start(m_program, arguments);
    }

    // Runs the program to its end (60 s at most, then it is killed).
    Run run(const QStringList &arguments)
    {
        QProcess process;
        start(process, arguments);
        Run result;
        result.finished = process.waitForFinished(60000);
        if (!result.finished)
            process.kill();
        process.waitForFinished(5000);
        result.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = process.readAllStandardOutput();
        result.err = process.readAllStandardError();
        return result;
    }

    // The window's upload of the same workbook, through the same launch parameters: its
    // journal lines without date and time, once its completion notice is shown.
    bool windowJournal(const QString &address, const QString &sid, QStringList &lines)
    {
        launchParams.clear();
        valuedParams.clear();
        buildLaunchParams({"ADR=" + address, "sid=" + sid});
        bool noticed = false;
        setMessageBoxHookForTesting(
            [&](BoxIcon, const QString &, const QString &) { noticed = true; });
        TForm1 form;
        QTimer::singleShot(0, &form, [&] {
            form.openDialog()->selectFile(m_workbook);
            static_cast<QDialog *>(form.openDialog())->accept();
        });
        form.Button1Click();
        QElapsedTimer clock;
        clock.start();
        while (!noticed && clock.elapsed() < 60000)
            QTest::qWait(50);
        setMessageBoxHookForTesting({});
        for (QTextBlock block = form.reMessages->document()->begin(); block.isValid();
             block = block.next())
            lines << block.text().section(u' ', 0, 0) + u' ' + block.text().section(u' ', 3);
        return noticed;
    }

private slots:
    void initTestCase()
    {
        TDataUploader::stageClosingWaitMs = 200; // the window's run; the program keeps 2001
        setLogFolderForTesting(m_bin.filePath(QStringLiteral("window-logs/")));
        setJournalStampForTesting([] {
            return std::pair{QStringLiteral("D"), QStringLiteral("T")};
        });
        m_program = m_bin.filePath(QStringLiteral("unmz-upload"));
        QVERIFY(QFile::copy(binaryDir() + QStringLiteral("/unmz-upload"), m_program));
        m_workbook = m_dir.filePath(QStringLiteral("Реестр УНМЗ.xlsx"));
        writeFile(m_workbook, "workbook bytes");
        writeFile(m_dir.filePath("Акт приёмки.pdf"), "%PDF-1.4 top");
        writeFile(m_dir.filePath("Участок 1/План.pdf"), "%PDF-1.4 one");
        writeFile(m_dir.filePath("Участок 1/Кадастр/Выписка №8.PDF"), "%PDF-1.4 two");
    }

    void init() { takeLog(); }

    void sameJournalAndWireAsTheWindow()
    {
        DevService service({"--stage-seconds", "0.5", "--sid", "web1"});
        QVERIFY2(service.isRunning(), qPrintable(service.output()));
        WireTap tap(quint16(QUrl(service.address()).port()));

        QStringList window;
        QVERIFY(windowJournal(tap.address(), QStringLiteral("web1"), window));
        const QList<QByteArray> windowWire = comparableWire(tap.takeExchanges());

        const Run cli = run({"--server", tap.address(), "--session", "web1", m_workbook});
        QVERIFY(cli.finished);
        QCOMPARE(cli.status, 0);
        QStringList lines;
        for (const QString &line : cli.lines())
            lines << numberAndMessage(line);
        QCOMPARE(withoutReportTimes(lines), withoutReportTimes(window));
        QVERIFY2(window.size() > 10, qPrintable(window.join(u'\n')));
        QCOMPARE(lines.first(), "1. Успешная авторизация на сервере \"" + tap.address() + "\"!");
        QVERIFY(lines.last().endsWith(UploadTexts::completedOk));
        QCOMPARE(cli.err, QByteArray()); // no terminal: no status line

        const QList<QByteArray> cliWire = comparableWire(tap.takeExchanges());
        const auto actions = [](const QList<QByteArray> &wire) {
            QByteArrayList list;
            for (const QByteArray &request : wire)
                list << actionOf(request);
            return list.join(',');
        };
        QCOMPARE(actions(cliWire), actions(windowWire));
        QVERIFY(actions(cliWire).startsWith("auth,getSession,loadFile,processRegistry,progress,"));
        for (qsizetype i = 0; i < cliWire.size(); ++i) {
            // Shown from where they part, so a difference deep in a body is in sight.
            const QByteArray &cliRequest = cliWire.at(i), &windowRequest = windowWire.at(i);
            qsizetype same = 0;
            while (same < cliRequest.size() && same < windowRequest.size()
                && cliRequest.at(same) == windowRequest.at(same))
                ++same;
            QCOMPARE(cliRequest.mid(same, 200), windowRequest.mid(same, 200));
        }
        QCOMPARE(takeLog(), QString());
    }

    // Over https the run is the http run, encrypted; a certificate nobody trusts gets
    // nothing, and the way to trust it is named.
    void httpsRunsAsHttpDoesAndTrustsOnlyWhatItIsTold()
    {
        const TestCertificates certificates;
        QVERIFY(certificates.isValid());
        const QStringList options{"--stage-seconds", "0.5", "--sid", "web1"};
        DevService plain(options);
        DevService tls(
            options + QStringList{"--tls", certificates.leafFile(), certificates.keyFile()});
        QVERIFY2(tls.isRunning(), qPrintable(tls.output()));
        const auto journal = [](const Run &cli, const QString &address) {
            QStringList lines;
            for (const QString &line : cli.lines())
                lines << numberAndMessage(line).replace(address, "ADDRESS");
            return withoutReportTimes(lines);
        };
        const auto requests = [](const DevService &service) {
            QList<QJsonObject> list;
            for (QJsonObject request : service.requests()) {
                if (request["action"] == "progress")
                    continue;
                for (const char *volatileField : {"seq", "time", "cookie"})
                    request.remove(volatileField);
                if (request["action"] == "getSession")
                    request.remove("reply"); // a new job id each time
                list << request;
            }
            return list;
        };
        const Run overHttp = run({"--server", plain.address(), "--session", "web1", m_workbook});
        const Run overHttps = run({"--server", tls.address(), "--session", "web1", "--ca-file",
            certificates.caFile(), m_workbook});
        QCOMPARE(overHttps.status, 0);
        QCOMPARE(journal(overHttps, tls.address()), journal(overHttp, plain.address()));
        QCOMPARE(requests(tls), requests(plain));

        const qsizetype sent = tls.requests().size();
        const Run untrusted = run({"--server", tls.address(), "--session", "web1", m_workbook});
        QCOMPARE(untrusted.status, 2);
        QCOMPARE(tls.requests().size(), sent);
        const QString err = QString::fromUtf8(untrusted.err);
        QVERIFY2(err.contains("издатель «Test Office Root CA» не входит в число доверенных"),
            qPrintable(err));
        QVERIFY2(
            err.contains("чтобы доверять ему, добавьте --certificate " + certificates.leafSha256()),
            qPrintable(err));
        QVERIFY(untrusted.lines().last().endsWith(certificateRefusedText));

        // The fingerprint as the message gives it, colons and all, in lower case.
        QString pin = certificates.leafSha256().toLower();
        for (qsizetype at = pin.size() - 2; at > 0; at -= 2)
            pin.insert(at, u':');
        const Run pinned = run(
            {"--server", tls.address(), "--session", "web1", "--certificate", pin, m_workbook});
        QCOMPARE(pinned.status, 0);
        // The system's trust, as OpenSSL lets an administrator name it.
        qputenv("SSL_CERT_FILE", certificates.caFile().toLocal8Bit());
        const Run systemTrust = run({"--server", tls.address(), "--session", "web1", m_workbook});
        qunsetenv("SSL_CERT_FILE");
        QCOMPARE(systemTrust.status, 0);
        takeLog();
    }

    void exitStatus_data()
    {
        QTest::addColumn<QStringList>("serviceOptions");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("lastLine");
        QTest::addColumn<QString>("logged");

        const QString failed = UploadTexts::completedWithErrors;
        QTest::newRow("authorisation refused: 2")
            << QStringList{"--refuse-auth"} << QStringList{"--session", "web1"} << 2
            << UploadTexts::notAuthorised << "";
        QTest::newRow("service down, authorising: 2")
            << QStringList{"--down"} << QStringList{"--session", "web1"} << 2
            << "\": соединение отклонено."
            << "TForm1.auth: ";
        QTest::newRow("service down, without authorisation: 2") << QStringList{
            "--down"} << QStringList{"--no-auth"} << 2 << failed << "TDataUploader.Execute: ";
        QTest::newRow("workbook held open by another program: 2")
            << QStringList{"--lock"} << QStringList{"--no-auth"} << 2 << failed << "";
        QTest::newRow("workbook that does not exist: 2")
            << QStringList{"--missing"} << QStringList{"--no-auth"} << 2 << failed << "";
        QTest::newRow("not a workbook: 2, nothing sent")
            << QStringList{"--not-workbook"} << QStringList{"--no-auth"} << 2
            << UploadTexts::notWorkbook << "";
        QTest::newRow("workbook refused by the service, documents accepted: 1")
            << QStringList{"--fail-load-file", "Реестр УНМЗ.xlsx", "--process-without-workbook"}
            << QStringList{"--no-auth"} << 1 << failed << "";
        QTest::newRow("no thread for the job: 2")
            << QStringList{"--no-threads"} << QStringList{"--no-auth"} << 2 << failed
            << "TDataUploader.Create: ";
        QTest::newRow("no thread for the authorisation: 2")
            << QStringList{"--no-threads"} << QStringList{"--session", "web1"} << 2
            << UploadTexts::notAuthorised << "TForm1.auth: ";
        QTest::newRow("a post the service never answers ends by itself: 2")
            << QStringList{"--slow", "60"} << QStringList{"--no-auth", "--idle-timeout", "1"} << 2
            << failed << "Read timed out.";
        QTest::newRow("a failed document: 1") << QStringList{"--fail-load-file", "План.pdf"}
                                              << QStringList{"--no-auth"} << 1 << failed << "";
    }

    void exitStatus()
    {
        QFETCH(QStringList, serviceOptions);
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, lastLine);
        QFETCH(QString, logged);

        const bool down = serviceOptions.removeAll("--down") > 0;
        const bool lock = serviceOptions.removeAll("--lock") > 0;
        const bool missing = serviceOptions.removeAll("--missing") > 0;
        const bool notWorkbook = serviceOptions.removeAll("--not-workbook") > 0;
        const bool noThreads = serviceOptions.removeAll("--no-threads") > 0;
        DevService service(serviceOptions + QStringList{"--stage-seconds", "0.2", "--sid", "web1"});
        QVERIFY(service.isRunning());
        QString address = service.address();
        if (down) {
            // A port nothing listens on: bound, then closed again.
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in any{};
            any.sin_family = AF_INET;
            any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t length = sizeof any;
            ::bind(fd, reinterpret_cast<sockaddr *>(&any), sizeof any);
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&any), &length);
            ::close(fd);
            address = QStringLiteral("http://127.0.0.1:%1").arg(ntohs(any.sin_port));
        }
        QString workbook = m_workbook;
        if (missing)
            workbook = m_dir.filePath(QStringLiteral("Нет такого.xlsx"));
        if (notWorkbook)
            workbook = m_dir.filePath(QStringLiteral("Участок 1/План.pdf"));
        const QString lockFile = m_dir.filePath(QStringLiteral(".~lock.Реестр УНМЗ.xlsx#"));
        if (lock)
            writeFile(lockFile, "someone,host,1;");
        m_threadsRefused = noThreads;
        const Run cli = run(QStringList{"--server", address} + arguments + QStringList{workbook});
        m_threadsRefused = false;
        QFile::remove(lockFile);

        QVERIFY(cli.finished);
        QCOMPARE(cli.status, status);
        QVERIFY2(cli.lines().value(cli.lines().size() - 1).endsWith(lastLine), cli.out.constData());
        if (lock || missing)
            QVERIFY(cli.out.contains(
                QStringLiteral("Нет доступа к файлу \"%1\"!").arg(workbook).toUtf8()));
        if (notWorkbook || down || noThreads)
            QVERIFY(service.actions().isEmpty());
        // A logged failure the journal does not name is named on standard error.
        const bool causeNamed = !logged.isEmpty() && !lastLine.contains("соединение отклонено");
        QCOMPARE(cli.err.contains("unmz-upload: причина: "), causeNamed);
        if (causeNamed)
            QVERIFY2(QString::fromUtf8(cli.err).contains(QRegularExpression(
                         "unmz-upload: причина: [^\\n]*\\. Журнал ошибок: /[^\\n]*\\.err\\n$")),
                cli.err.constData());
        const QString log = takeLog();
        if (logged.isEmpty())
            QCOMPARE(log, QString());
        else
            QVERIFY2(log.contains(logged), qPrintable(log + cli.out));
    }

    void quietAndColour()
    {
        DevService service({"--stage-seconds", "0.2", "--fail-load-file", "План.pdf"});
        const Run cli = run(
            {"--server", service.address(), "--no-auth", "--quiet", "--color=always", m_workbook});
        QCOMPARE(cli.status, 1);
        const QStringList lines = cli.lines();
        // Errors and the final line only, each in the window's red and bold, numbers kept.
        QVERIFY(lines.size() >= 2);
        for (const QString &line : lines) {
            QVERIFY2(line.startsWith("\x1b[1;31m") && line.endsWith("\x1b[0m"), qPrintable(line));
        }
        QVERIFY(lines.last().contains(UploadTexts::completedWithErrors));
        QVERIFY(cli.out.contains(QStringLiteral("План.pdf\"  на сервер!").toUtf8()));
        const QStringList numbers = [&] {
            QStringList list;
            for (const QString &line : lines)
                list << line.mid(7).section(u'.', 0, 0);
            return list;
        }();
        QVERIFY2(numbers.last().toInt() > lines.size(), qPrintable(numbers.join(',')));
    }

    void usageErrorsAndAnswers_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::newRow("unknown option: 64")
            << QStringList{"--bogus", "r.xlsx"} << 64 << ""
            << "^unmz-upload: неизвестный параметр «--bogus»[^\\n]*\\n$";
        QTest::newRow("no register: 64") << QStringList{"--no-auth"} << 64 << ""
                                         << "^unmz-upload: не указан файл реестра[^\\n]*\\n$";
        QTest::newRow("report over the register: 64, nothing sent")
            << QStringList{"--report", m_workbook, m_workbook} << 64 << "^$"
            << "^unmz-upload: --report: «" + QRegularExpression::escape(m_workbook)
                + "» не является файлом отчёта CSV\\n$";
        QTest::newRow("version") << QStringList{"--version"} << 0
                                 << "^unmz-upload \\d+\\.\\d+\\.\\d+\\n$"
                                 << "^$";
        QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: unmz-upload"
                              << "^$";
    }

    void usageErrorsAndAnswers()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, out);
        QFETCH(QString, err);
        const Run cli = run(arguments);
        QTEST(cli.status, "status");
        QVERIFY2(QRegularExpression(out).match(QString::fromUtf8(cli.out)).hasMatch(),
            cli.out.constData());
        QVERIFY2(QRegularExpression(err).match(QString::fromUtf8(cli.err)).hasMatch(),
            cli.err.constData());
    }

    void checkNamesEveryProblemWithoutARequest()
    {
        QTemporaryDir set;
        const QString workbook = set.filePath(QStringLiteral("Реестр.xlsx"));
        writeFile(workbook, "workbook bytes");
        writeFile(set.filePath("Хороший.pdf"), "%PDF-1.4 good");
        writeFile(set.filePath("Папка/Тоже хороший.PDF"), "%PDF-1.4 good too");
        writeFile(set.filePath("Занят.pdf"), "%PDF-1.4 locked");
        writeFile(set.filePath(".~lock.Занят.pdf#"), "someone,host,1;");
        writeFile(set.filePath("Пустой.pdf"), "");
        writeFile(set.filePath("Не PDF.pdf"), "plain text");
        const QByteArray badName = QFile::encodeName(set.path()) + "/bad\x01name.pdf";
        writeFile(QFile::decodeName(badName), "%PDF-1.4 bad name");
        DevService service({"--sid", "web1"});
        QVERIFY(service.isRunning());

        const Run cli
            = run({"--server", service.address(), "--session", "web1", "--check", workbook});
        QVERIFY(cli.finished);
        QCOMPARE(cli.status, 1);
        const QString out = QString::fromUtf8(cli.out);
        for (const char *name : {"Занят.pdf", "Пустой.pdf", "Не PDF.pdf"})
            QVERIFY2(out.contains(set.filePath(QString::fromUtf8(name)) + u'\n'), qPrintable(out));
        QVERIFY2(out.contains("bad\\x01name.pdf"), qPrintable(out));
        QVERIFY2(out.contains(QStringLiteral("Найдено проблем: 4\n")), qPrintable(out));
        QVERIFY2(!out.contains(QStringLiteral("хороший")), qPrintable(out));
        QVERIFY2(out.contains(QStringLiteral("Документов: 6\n")), qPrintable(out));
        QCOMPARE(service.requests().size(), 0);

        // The good files alone: no problem, status 0.
        for (const char *name : {"Занят.pdf", ".~lock.Занят.pdf#", "Пустой.pdf", "Не PDF.pdf"})
            QVERIFY(QFile::remove(set.filePath(QString::fromUtf8(name))));
        QVERIFY(QFile::remove(QFile::decodeName(badName)));
        const Run clean = run({"--check", workbook});
        QCOMPARE(clean.status, 0);
        QVERIFY2(clean.out.contains(QStringLiteral("Проблем не найдено.").toUtf8()),
            clean.out.constData());
        QCOMPARE(service.requests().size(), 0);
    }

    void reportOptionChoosesThePlace()
    {
        DevService service({"--stage-seconds", "0.2", "--fail-load-file", "План.pdf"});
        QTemporaryDir elsewhere;
        const QString report = elsewhere.filePath(QStringLiteral("отчёт.csv"));
        const Run cli
            = run({"--server", service.address(), "--no-auth", "--report", report, m_workbook});
        QCOMPARE(cli.status, 1);
        const QStringList lines = cli.lines();
        QVERIFY(lines.size() > 2);
        QVERIFY2(lines.at(lines.size() - 2)
                     .endsWith(QStringLiteral("Отчёт о загрузке сохранён: \"%1\"").arg(report)),
            cli.out.constData());
        QFile file(report);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        QVERIFY(text.contains(QStringLiteral("Участок 1/План.pdf;Участок 1;")));
        QVERIFY(text.contains(QStringLiteral("ошибка;Ошибка: файл не сохранён;")));
    }

    // A pipe into head closes the program's output early: the upload goes on to its end.
    void closedOutputDoesNotEndTheUpload()
    {
        DevService service({"--stage-seconds", "0.2"});
        QProcess process;
        start(process, {"--server", service.address(), "--no-auth", m_workbook});
        QVERIFY(process.waitForStarted(10000));
        QVERIFY(process.waitForReadyRead(30000));
        process.closeReadChannel(QProcess::StandardOutput);
        const bool ended = process.waitForFinished(60000);
        if (!ended)
            process.kill();
        QVERIFY(ended);
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QVERIFY2(service.actions().contains(QStringLiteral("processFiles")),
            qPrintable(service.actions().join(u' ')));
        QCOMPARE(takeLog(), QString());
    }

    // Before the upload there is nothing to stop gently: Ctrl+C ends the program at once,
    // here while it waits for a session file that nobody writes.
    void interruptBeforeTheUploadEndsTheProgram()
    {
        const QString fifo = m_bin.filePath(QStringLiteral("session.fifo"));
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        QProcess process;
        start(process, {"--server", "http://127.0.0.1:9", "--session-file", fifo, m_workbook});
        QVERIFY(process.waitForStarted(10000));
        QTest::qWait(300);
        ::kill(pid_t(process.processId()), SIGINT);
        const bool ended = process.waitForFinished(5000);
        if (!ended)
            process.kill();
        process.waitForFinished(5000);
        QFile::remove(fifo);
        QVERIFY2(ended, "still running 5 s after Ctrl+C");
        QCOMPARE(process.exitStatus(), QProcess::CrashExit); // ended by the signal itself
        QCOMPARE(process.exitCode(), int(SIGINT));
    }

    // A folder named in another encoding: refused with its reason, nothing sent.
    void registerPathNotInUtf8IsRefusedWithItsReason_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<int>("status");
        QTest::newRow("upload: nothing delivered") << "--no-auth" << 2;
        QTest::newRow("check: a problem") << "--check" << 1;
    }

    void registerPathNotInUtf8IsRefusedWithItsReason()
    {
        QFETCH(QString, option);
        QFETCH(int, status);
        const QTemporaryDir base; // apart from the register the other tests upload
        const QByteArray folder = QFile::encodeName(base.path()) + "/\xc0\xea\xf2"; // "Акт", cp1251
        ::mkdir(folder.constData(), 0755);
        const QByteArray workbook = folder + "/r.xlsx";
        QFile file;
        QVERIFY(file.open(::fopen(workbook.constData(), "w"), QIODevice::WriteOnly,
            QFileDevice::AutoCloseHandle));
        file.write("workbook bytes");
        file.close();
        DevService service;
        // Bytes that are no UTF-8 cannot pass through a QProcess argument: a shell makes them.
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(
            QStringLiteral("XDG_STATE_HOME"), m_bin.filePath(QStringLiteral("state")));
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral("/bin/sh"),
            {"-c",
                "exec \"$0\" \"$1\" --server \"$2\" \"$(printf '%s/\\300\\352\\362/r.xlsx' "
                "\"$3\")\"",
                m_program, option, service.address(), base.path()});
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), status);
        const QString err = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(err.startsWith(QStringLiteral("unmz-upload: в пути к реестру есть имя не в "
                                               "кодировке UTF-8")),
            qPrintable(err));
        QVERIFY2(err.contains(QStringLiteral("/\uFFFD\uFFFD\uFFFD/r.xlsx")), qPrintable(err));
        QCOMPARE(process.readAllStandardOutput(), QByteArray());
        QCOMPARE(service.actions(), QStringList());
    }

    // Some job runners hand over a non-blocking pipe: no line may be lost to it, and a
    // stop signal still ends a run whose reader has stopped reading.
    void nonBlockingOutputKeepsEveryLineAndStillStops()
    {
        Watchdog watchdog(120, "output through a non-blocking pipe");
        DevService service({"--stage-seconds", "0.5", "--chatty", "4000"}); // about 1.5 MiB
        for (const bool stop : {false, true}) {
            int fds[2];
            QVERIFY(::pipe2(fds, O_CLOEXEC) == 0);
            ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);
            QProcess process;
            const int writeEnd = fds[1];
            process.setChildProcessModifier([writeEnd] { ::dup2(writeEnd, STDOUT_FILENO); });
            start(process, {"--server", service.address(), "--no-auth", m_workbook});
            ::close(fds[1]);
            QVERIFY(process.waitForStarted(10000));
            QByteArray out;
            char buffer[4096];
            bool signalled = false;
            for (;;) {
                if (stop && !signalled && out.size() > 300000) {
                    QTest::qWait(1000); // the reader stops; the pipe fills and the writer waits
                    ::kill(pid_t(process.processId()), SIGTERM);
                    signalled = true;
                    QVERIFY2(process.waitForFinished(5000), "still running 5 s after SIGTERM");
                }
                const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
                if (n <= 0)
                    break;
                out.append(buffer, n);
                if (!stop)
                    QThread::usleep(2000); // a slow reader
            }
            ::close(fds[0]);
            process.waitForFinished(60000);
            const QString err = QString::fromUtf8(process.readAllStandardError());
            const QStringList lines = QString::fromUtf8(out).split(u'\n', Qt::SkipEmptyParts);
            // Numbered one after the other: nothing in between went missing.
            for (int i = 0; i + 1 < lines.size(); ++i)
                QCOMPARE(lines.at(i).section(u'.', 0, 0).toInt(), i + 1);
            if (!stop) {
                QCOMPARE(process.exitCode(), 0);
                QVERIFY(out.size() > 1024 * 1024);
                QVERIFY(lines.last().endsWith(UploadTexts::completedOk));
            } else {
                QCOMPARE(process.exitCode(), 143);
                QVERIFY2(err.contains(QStringLiteral("Отчёт о загрузке: ")), qPrintable(err));
                QFile::remove(err.section(QStringLiteral("Отчёт о загрузке: "), 1).trimmed());
            }
        }
        takeLog();
    }

    void interruptEndsAtOnce_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<int>("status");
        QTest::newRow("Ctrl+C: 130") << int(SIGINT) << 130;
        QTest::newRow("SIGTERM: 143") << int(SIGTERM) << 143;
    }

    void interruptEndsAtOnce()
    {
        QFETCH(int, signalNumber);
        QFETCH(int, status);
        // Every reply a second late: the documents take a while.
        DevService service({"--stage-seconds", "0.2", "--slow", "1"});
        QProcess process;
        start(process, {"--server", service.address(), "--no-auth", m_workbook});
        QVERIFY(process.waitForStarted(10000));
        QByteArray out;
        QElapsedTimer clock;
        clock.start();
        while (!out.contains(QStringLiteral("Документ \"").toUtf8()) && clock.elapsed() < 60000
            && process.state() == QProcess::Running) {
            process.waitForReadyRead(100);
            out += process.readAllStandardOutput();
        }
        QVERIFY2(out.contains(QStringLiteral("Документ \"").toUtf8()), out.constData());
        QTest::qWait(500); // the next document's body is out; its reply is a second away
        ::kill(pid_t(process.processId()), signalNumber);
        clock.restart();
        const bool ended = process.waitForFinished(5000);
        const qint64 took = clock.elapsed();
        if (!ended)
            process.kill();
        QVERIFY2(ended, "still running 5 s after the signal");
        QVERIFY(took < 5000);
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), status);
        const QString err = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(err.count(u'\n') == 1, qPrintable(err));
        const QRegularExpressionMatch notice = QRegularExpression(
            QStringLiteral(
                "^unmz-upload: прервано \\(SIG(INT|TERM)\\): реестр передан, передано ([12]) из 3 "
                "документов\\. Отчёт о загрузке: (.*\\.csv)\\n$"))
                                                   .match(err);
        QVERIFY2(notice.hasMatch(), qPrintable(err));
        // The report tells what the service has, and the post in flight as unconfirmed.
        QFile reportFile(notice.captured(3));
        QVERIFY(reportFile.open(QIODevice::ReadOnly));
        const QString report = QString::fromUtf8(reportFile.readAll());
        reportFile.remove();
        QVERIFY2(
            report.contains(QStringLiteral("Итог;Загрузка прервана (SIG")), qPrintable(report));
        QVERIFY2(report.contains(QRegularExpression(QStringLiteral("\\nРеестр;[^\\r]*;передан;"))),
            qPrintable(report));
        QCOMPARE(report.count(QStringLiteral(";передан;")) - 1, notice.captured(2).toInt());
        QCOMPARE(
            report.count(QStringLiteral(";не подтверждён;прервано: ответ сервера не получен;")), 1);
        for (const QString &line : report.split(QStringLiteral("\r\n"))) {
            const QStringList cells = line.split(u';');
            if (cells.value(4) == QStringLiteral("передан"))
                QVERIFY2(QDirIterator(service.dataDir(), {cells.value(1).section(u'/', -1)},
                             QDir::Files, QDirIterator::Subdirectories)
                             .hasNext(),
                    qPrintable(line));
        }
        out += process.readAllStandardOutput();
        QVERIFY(!out.contains(UploadTexts::completedWithErrors.toUtf8()));
        // Abandoned, not failed: no error log entry for the job.
        QCOMPARE(takeLog(), QString());
    }
};

QTEST_MAIN(TestCliUpload)
#include "tst_upload.moc"
