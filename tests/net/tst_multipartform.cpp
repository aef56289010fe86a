#include "net/MultipartForm.h"

#include "TestFiles.h"
#include "diag/Exception.h"
#include "net/PartHeaderCharset.h"
#include "support/TestPaths.h"
#include "support/Watchdog.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <QElapsedTimer>

#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

QDateTime exampleTime()
{
    return QDateTime(QDate(2022, 3, 31), QTime(14, 5, 9, 123));
}

MultipartForm::Clock fixedClock(const QDateTime &time = exampleTime())
{
    return [time] { return time; };
}

// The whole body as a consumer that wants bytes reads it; every block within the limit.
QByteArray readBody(const MultipartForm &form)
{
    QByteArray body;
    auto stream = form.openBody();
    QByteArray block;
    while (stream->nextBytes(block)) {
        if (block.isEmpty() || block.size() > MultipartForm::BlockSize)
            throw std::runtime_error("block size out of range");
        body += block;
    }
    return body;
}

// The body as a sending consumer sees it: bytes blocks and file stretches, the latter
// read with pread as sendfile would.
QByteArray readBodyByStretches(const MultipartForm &form, int *stretches = nullptr)
{
    QByteArray body;
    auto stream = form.openBody();
    FormBlock block;
    while (stream->next(block)) {
        if (block.length <= 0 || block.length > MultipartForm::BlockSize)
            throw std::runtime_error("block length out of range");
        if (block.fd < 0) {
            body += block.bytes;
            continue;
        }
        QByteArray bytes(block.length, Qt::Uninitialized);
        if (::pread(block.fd, bytes.data(), size_t(block.length), off_t(block.offset))
            != block.length)
            throw std::runtime_error("short pread");
        body += bytes;
        if (stretches)
            ++*stretches;
    }
    return body;
}

QString failureOf(const std::function<void()> &action)
{
    try {
        action();
    } catch (const Exception &failure) {
        return failure.message();
    }
    return {};
}

QByteArray patternBytes(qint64 size, int seed = 7)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = quint32(seed) * 2654435761u + 1;
    for (qint64 i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = char(x >> 24);
    }
    return bytes;
}

QByteArray part(const QByteArray &headLines, const QByteArray &dataAndBreak)
{
    return "----------033122140509123\r\n" + headLines + "\r\n" + dataAndBreak;
}

const QByteArray Closing = "----------033122140509123--\r\n";

} // namespace

class TestMultipartForm : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void boundaryFromLocalTime_data();
    void boundaryFromLocalTime();
    void getSessionFormIs188Bytes();
    void textFieldBodies_data();
    void textFieldBodies();
    void fileFieldBody();
    void fileNamesInPartHeader_data();
    void fileNamesInPartHeader();
    void fieldsTakeTheUserLocaleCharset();
    void transferEncodings_data();
    void transferEncodings();

    void bodyLengthMatchesBody_data();
    void bodyLengthMatchesBody();
    void postingDoesNotChangeForm();

    void fileCannotBeOpened_data();
    void fileCannotBeOpened();
    void fileHeldOpenForWritingByDescriptor();
    void onlyRegularFilesAreOpened_data();
    void onlyRegularFilesAreOpened();
    void fileThatShrinksFailsTheStream();
    void fileThatGrowsSendsItsCountedBytes();
    void discardClosesFiles();

    void independentParserAgrees();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestMultipartForm::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestMultipartForm::boundaryFromLocalTime_data()
{
    QTest::addColumn<QDateTime>("time");
    QTest::addColumn<QByteArray>("boundary");
    QTest::newRow("31 March 2022 14:05:09.123")
        << exampleTime() << QByteArray("--------033122140509123");
    QTest::newRow("zero-padded fields")
        << QDateTime(QDate(2009, 1, 2), QTime(3, 4, 5, 6)) << QByteArray("--------010209030405006");
    QTest::newRow("last millisecond of a year") << QDateTime(QDate(1999, 12, 31),
        QTime(23, 59, 59, 999)) << QByteArray("--------123199235959999");
}

void TestMultipartForm::boundaryFromLocalTime()
{
    QFETCH(QDateTime, time);
    QFETCH(QByteArray, boundary);
    MultipartForm form(fixedClock(time));
    QCOMPARE(form.boundary(), boundary);
    QCOMPARE(form.contentType(), "multipart/form-data; boundary=" + boundary);
    QCOMPARE(readBody(form), "--" + boundary + "--\r\n"); // a form without fields
}

void TestMultipartForm::getSessionFormIs188Bytes()
{
    MultipartForm form(fixedClock());
    form.addTextField("action", "getSession");
    const QByteArray expected = "----------033122140509123\r\n"
                                "Content-Disposition: form-data; name=\"action\"\r\n"
                                "Content-Type: text/plain\r\n"
                                "Content-Transfer-Encoding: quoted-printable\r\n"
                                "\r\n"
                                "getSession\r\n"
                                "----------033122140509123--\r\n";
    QCOMPARE(expected.size(), 188);
    QCOMPARE(form.bodyLength(), 188);
    QCOMPARE(readBody(form), expected);
}

void TestMultipartForm::textFieldBodies_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("charset");
    QTest::addColumn<QString>("transfer");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray qpHead = "Content-Disposition: form-data; name=\"f\"\r\n"
                              "Content-Type: text/plain\r\n"
                              "Content-Transfer-Encoding: quoted-printable\r\n";
    QTest::newRow("empty value: blank line then CR LF") << ""
                                                        << ""
                                                        << "" << part(qpHead, "\r\n") + Closing;
    QTest::newRow("equals sign") << "a=b"
                                 << ""
                                 << "" << part(qpHead, "a=3Db\r\n") + Closing;
    QTest::newRow("trailing space") << "end "
                                    << ""
                                    << "" << part(qpHead, "end=20\r\n") + Closing;
    QTest::newRow("100 letters soft-broken after 70")
        << QString(100, 'A') << ""
        << ""
        << part(qpHead, QByteArray(70, 'A') + "=\r\n" + QByteArray(30, 'A') + "\r\n") + Closing;
    QTest::newRow("line break gives two lines") << "one\ntwo"
                                                << ""
                                                << "" << part(qpHead, "one\r\ntwo\r\n") + Closing;
    QTest::newRow("line break at the end disappears") << "one\r\n"
                                                      << ""
                                                      << "" << part(qpHead, "one\r\n") + Closing;
    QTest::newRow("Cyrillic letter without charset is ?")
        << "Жук é"
        << ""
        << "" << part(qpHead, "??? =E9\r\n") + Closing;
    QTest::newRow("UTF-8 field carries UTF-8 bytes")
        << "Реестр УНМЗ"
        << "utf-8"
        << "8bit"
        << part("Content-Disposition: form-data; name=\"f\"\r\n"
                "Content-Type: text/plain; charset=\"utf-8\"\r\n"
                "Content-Transfer-Encoding: 8bit\r\n",
               QStringLiteral("Реестр УНМЗ").toUtf8() + "\r\n")
            + Closing;
    QTest::newRow("empty UTF-8 field") << ""
                                       << "utf-8"
                                       << "8bit"
                                       << part("Content-Disposition: form-data; name=\"f\"\r\n"
                                               "Content-Type: text/plain; charset=\"utf-8\"\r\n"
                                               "Content-Transfer-Encoding: 8bit\r\n",
                                              "\r\n")
            + Closing;
    QTest::newRow("no transfer line when the encoding is empty")
        << "x\ny"
        << ""
        << "-"
        << part("Content-Disposition: form-data; name=\"f\"\r\n"
                "Content-Type: text/plain\r\n",
               "x\ny\r\n")
            + Closing;
}

void TestMultipartForm::textFieldBodies()
{
    QFETCH(QString, value);
    QFETCH(QString, charset);
    QFETCH(QString, transfer);
    QFETCH(QByteArray, expected);
    MultipartForm form(fixedClock());
    FormField &field = form.addTextField("f", value, charset);
    if (transfer == "-")
        form.setTransferEncoding(field, "");
    else if (!transfer.isEmpty())
        form.setTransferEncoding(field, transfer);
    QCOMPARE(readBody(form), expected);
    QCOMPARE(form.bodyLength(), expected.size());
}

void TestMultipartForm::fileFieldBody()
{
    const QString path = m_dir->filePath("report 1.pdf");
    const QByteArray content("%PDF\r\n\x00\xff binary", 16);
    writeFile(path, content);
    MultipartForm form(fixedClock());
    form.addTextField("action", "loadFile");
    const FormField &field = form.addFile("data", path, "application/pdf");
    QCOMPARE(field.fileName, QStringLiteral("report 1.pdf"));
    const QByteArray expected = part("Content-Disposition: form-data; name=\"action\"\r\n"
                                     "Content-Type: text/plain\r\n"
                                     "Content-Transfer-Encoding: quoted-printable\r\n",
                                    "loadFile\r\n")
        + part("Content-Disposition: form-data; name=\"data\"; filename=\"report 1.pdf\"\r\n"
               "Content-Type: application/pdf\r\n"
               "Content-Transfer-Encoding: binary\r\n",
            content + "\r\n")
        + Closing;
    QCOMPARE(readBody(form), expected);
    QCOMPARE(readBodyByStretches(form), expected);
    QCOMPARE(form.bodyLength(), expected.size());
}

void TestMultipartForm::fileNamesInPartHeader_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("headerCharset");
    QTest::addColumn<QByteArray>("disposition");

    QTest::newRow("Cyrillic under a Russian locale")
        << "Реестр УНМЗ 2022.xlsx" << QByteArray("KOI8-R")
        << QByteArray("name=\"data\"; filename=\"=?KOI8-R?B?8sXF09TSIPXu7fo=?= 2022.xlsx\"");
    QTest::newRow("Cyrillic under another locale")
        << "Реестр УНМЗ 2022.xlsx" << QByteArray("UTF-8")
        << QByteArray(
               "name=\"data\"; filename=\"=?UTF-8?B?0KDQtdC10YHRgtGAINCj0J3QnNCX?= 2022.xlsx\"");
    QTest::newRow("printable ASCII unchanged")
        << "plan_2022 v1.0.pdf" << QByteArray("KOI8-R")
        << QByteArray("name=\"data\"; filename=\"plan_2022 v1.0.pdf\"");
    QTest::newRow("double quote cannot end the parameter")
        << "a\"; name=\"x.pdf" << QByteArray("UTF-8")
        << QByteArray("name=\"data\"; filename=\"=?UTF-8?B?YSI7IG5hbWU9IngucGRm?=\"");
    QTest::newRow("CR LF cannot inject a header")
        << "x\r\nContent-Type: text-html.pdf" << QByteArray("UTF-8")
        << QByteArray(
               "name=\"data\"; filename=\"=?UTF-8?B?eA0KQ29udGVudC1UeXBlOg==?= text-html.pdf\"");
    QTest::newRow("long Cyrillic name folded")
        << "Сводный перечень нормативных документов.pdf" << QByteArray("UTF-8")
        << QByteArray(
               "name=\"data\"; filename=\""
               "=?UTF-8?B?0KHQstC+0LTQvdGL0Lkg0L/QtdGA0LXRh9C10L3RjCDQvdC+0YDQvNCw0YLQ?=\r\n"
               " =?UTF-8?B?uNCy0L3Ri9GFINC00L7QutGD0LzQtdC90YLQvtCyLnBkZg==?=\""); // cut inside "и"
}

void TestMultipartForm::fileNamesInPartHeader()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, headerCharset);
    QFETCH(QByteArray, disposition);
    const QString path = m_dir->filePath(fileName);
    writeFile(path, "x");
    MultipartForm form(fixedClock());
    FormField &field = form.addFile("data", path, "application/octet-stream");
    field.headerCharset = headerCharset;
    const QByteArray head = form.partHead(field);
    QCOMPARE(head,
        "----------033122140509123\r\nContent-Disposition: form-data; " + disposition
            + "\r\nContent-Type: application/octet-stream\r\n"
              "Content-Transfer-Encoding: binary\r\n\r\n");
    // Header lines: delimiter, disposition (with its folds), type, transfer, blank.
    for (const QByteArray &line : head.split('\n')) {
        QVERIFY(line.isEmpty() || line.endsWith('\r'));
        QVERIFY(line.isEmpty() || line.startsWith("--") || line.startsWith("Content-")
            || line.startsWith(" =?") || line == "\r");
    }
}

void TestMultipartForm::fieldsTakeTheUserLocaleCharset()
{
    const QString path = m_dir->filePath("a.pdf");
    writeFile(path, "x");
    MultipartForm form;
    QCOMPARE(form.addTextField("a", "b").headerCharset, HeaderCharset::forUserLocale());
    QCOMPARE(
        form.addFile("d", path, "application/pdf").headerCharset, HeaderCharset::forUserLocale());
}

void TestMultipartForm::transferEncodings_data()
{
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("empty") << "" << true;
    QTest::newRow("7bit") << "7bit" << true;
    QTest::newRow("8BIT in capitals") << "8BIT" << true;
    QTest::newRow("binary") << "binary" << true;
    QTest::newRow("Quoted-Printable") << "Quoted-Printable" << true;
    QTest::newRow("base64") << "base64" << true;
    QTest::newRow("gzip refused") << "gzip" << false;
    QTest::newRow("8 bit with a space refused") << "8 bit" << false;
    QTest::newRow("base64 with trailing space refused") << "base64 " << false;
}

void TestMultipartForm::transferEncodings()
{
    QFETCH(QString, encoding);
    QFETCH(bool, accepted);
    MultipartForm form(fixedClock());
    FormField &field = form.addTextField("f", "value");
    const QString failure = failureOf([&] { form.setTransferEncoding(field, encoding); });
    if (accepted) {
        QCOMPARE(failure, QString());
        QCOMPARE(field.transferEncoding, encoding);
    } else {
        QCOMPARE(failure,
            QStringLiteral("Unsupported transfer type. You can assign only an empty "
                           "string or one of the following values: 7bit, 8bit, "
                           "binary, quoted-printable, base64."));
        QCOMPARE(field.transferEncoding, QStringLiteral("quoted-printable"));
    }
    QCOMPARE(form.bodyLength(), readBody(form).size());
}

void TestMultipartForm::bodyLengthMatchesBody_data()
{
    QTest::addColumn<QList<qint64>>("fileSizes");
    QTest::addColumn<QList<int>>("textSizes");
    QTest::newRow("no fields") << QList<qint64>{} << QList<int>{};
    QTest::newRow("empty file") << QList<qint64>{0} << QList<int>{};
    QTest::newRow("one-byte file") << QList<qint64>{1} << QList<int>{};
    QTest::newRow("file one under the block") << QList<qint64>{32767} << QList<int>{};
    QTest::newRow("file of one block") << QList<qint64>{32768} << QList<int>{};
    QTest::newRow("file one past the block") << QList<qint64>{32769} << QList<int>{};
    QTest::newRow("several files and texts")
        << QList<qint64>{100000, 0, 65536} << QList<int>{0, 1, 69, 70, 71};
    QTest::newRow("text larger than a block") << QList<qint64>{5} << QList<int>{40000, 100000};
}

void TestMultipartForm::bodyLengthMatchesBody()
{
    QFETCH(QList<qint64>, fileSizes);
    QFETCH(QList<int>, textSizes);
    MultipartForm form(fixedClock());
    QByteArray expectedFileBytes;
    for (int i = 0; i < textSizes.size(); ++i) {
        QString value;
        for (int j = 0; j < textSizes[i]; ++j)
            value += QChar(u" a.=\tЖ\né"[j % 9]);
        form.addTextField(QStringLiteral("text%1").arg(i), value);
        FormField &utf8 = form.addTextField(QStringLiteral("utf%1").arg(i), value, "utf-8");
        form.setTransferEncoding(utf8, "8bit");
    }
    for (int i = 0; i < fileSizes.size(); ++i) {
        const QString path = m_dir->filePath(QStringLiteral("файл %1.bin").arg(i));
        const QByteArray bytes = patternBytes(fileSizes[i], i);
        writeFile(path, bytes);
        expectedFileBytes += bytes;
        form.addFile(QStringLiteral("file%1").arg(i), path, "application/octet-stream");
    }
    int stretches = 0;
    const QByteArray body = readBodyByStretches(form, &stretches);
    QCOMPARE(form.bodyLength(), body.size());
    QCOMPARE(readBody(form), body);
    qint64 expectedStretches = 0;
    for (qint64 size : fileSizes)
        expectedStretches += (size + MultipartForm::BlockSize - 1) / MultipartForm::BlockSize;
    QCOMPARE(stretches, expectedStretches); // file bytes never travel through memory blocks
    QVERIFY(body.endsWith(form.closingLine()));
}

void TestMultipartForm::postingDoesNotChangeForm()
{
    const QString path = m_dir->filePath("a.bin");
    writeFile(path, patternBytes(70000));
    MultipartForm form(fixedClock());
    form.addTextField("action", "loadFile");
    form.addFile("data", path, "application/octet-stream");
    const QByteArray first = readBody(form);
    // A stream abandoned half-way leaves nothing behind for the next one.
    auto partial = form.openBody();
    QByteArray block;
    QVERIFY(partial->nextBytes(block));
    QCOMPARE(readBody(form), first);
    QCOMPARE(form.fields().size(), size_t(2));
}

void TestMultipartForm::fileCannotBeOpened_data()
{
    QTest::addColumn<QString>("lockFile"); // created beside the file; "-": the file is missing
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing file") << "-"
                                  << "No such file or directory";
    QTest::newRow("a folder") << "/"
                              << "Is a directory";
    QTest::newRow("open in a suite that leaves .~lock.NAME#") << ".~lock.Реестр.xlsx#"
                                                              << "Device or resource busy";
    QTest::newRow("open in a suite that leaves ~$NAME") << "~$Реестр.xlsx"
                                                        << "Device or resource busy";
}

void TestMultipartForm::fileCannotBeOpened()
{
    QFETCH(QString, lockFile);
    QFETCH(QString, reason);
    const QString path = m_dir->filePath("Реестр.xlsx");
    if (lockFile == "/")
        QVERIFY(QDir().mkdir(path));
    else if (lockFile != "-") {
        writeFile(path, "PK");
        writeFile(m_dir->filePath(lockFile), "user");
    }
    MultipartForm form(fixedClock());
    form.addTextField("action", "loadFile");
    const QString failure = failureOf([&] { form.addFile("data", path, "application/pdf"); });
    QCOMPARE(failure, QStringLiteral("Cannot open file \"%1\". %2").arg(path, reason));
    QCOMPARE(form.fields().size(), size_t(1));
    QCOMPARE(form.bodyLength(), readBody(form).size());
}

void TestMultipartForm::fileHeldOpenForWritingByDescriptor()
{
    const QString path = m_dir->filePath("open.xlsx");
    writeFile(path, "PK");
    // A writer elsewhere (here: another descriptor of this process) keeps the read lease away.
    const int writer = ::open(QFile::encodeName(path).constData(), O_WRONLY);
    QVERIFY(writer >= 0);
    MultipartForm form(fixedClock());
    const QString failure = failureOf([&] { form.addFile("data", path, "application/pdf"); });
    ::close(writer);
    QCOMPARE(failure, QStringLiteral("Cannot open file \"%1\". Device or resource busy").arg(path));
    QVERIFY(form.fields().empty());

    // Once the writer is gone the same file is taken, and relative paths report in full.
    const QString previousFolder = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    auto restore = qScopeGuard([&] { QDir::setCurrent(previousFolder); });
    form.addFile("data", "open.xlsx", "application/pdf");
    QCOMPARE(form.fields().size(), size_t(1));
    QCOMPARE(failureOf([&] { form.addFile("data", "gone.xlsx", "application/pdf"); }),
        QStringLiteral("Cannot open file \"%1\". No such file or directory")
            .arg(m_dir->filePath("gone.xlsx")));
}

void TestMultipartForm::onlyRegularFilesAreOpened_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("named pipe without a writer") << "fifo";
    QTest::newRow("named pipe put in place of a document found earlier") << "swapped fifo";
    QTest::newRow("link to a named pipe") << "link to fifo";
    QTest::newRow("character device") << "device";
}

void TestMultipartForm::onlyRegularFilesAreOpened()
{
    QFETCH(QString, kind);
    QString path = m_dir->filePath("Реестр.xlsx");
    const QByteArray fifo = QFile::encodeName(m_dir->filePath("pipe"));
    if (kind == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (kind == "swapped fifo") {
        writeFile(path, "PK");
        QVERIFY(QFileInfo(path).isFile());
        QCOMPARE(::unlink(QFile::encodeName(path).constData()), 0);
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (kind == "link to fifo") {
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        QVERIFY(QFile::link(QString::fromLocal8Bit(fifo), path));
    } else {
        path = QStringLiteral("/dev/null");
    }
    MultipartForm form(fixedClock());
    form.addTextField("action", "loadFile");
    QString failure;
    QElapsedTimer timer;
    timer.start();
    {
        const Watchdog watchdog(20, "adding a file that is not a regular one");
        failure = failureOf([&] { form.addFile("data", path, "application/pdf"); });
    }
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(failure, QStringLiteral("Cannot open file \"%1\". Not a regular file.").arg(path));
    QCOMPARE(form.fields().size(), size_t(1));
    QCOMPARE(form.bodyLength(), readBody(form).size());
}

void TestMultipartForm::fileThatShrinksFailsTheStream()
{
    const QString path = m_dir->filePath("shrinking.bin");
    writeFile(path, patternBytes(100000));
    MultipartForm form(fixedClock());
    form.addFile("data", path, "application/octet-stream");
    const qint64 counted = form.bodyLength();
    QVERIFY(::truncate(QFile::encodeName(path).constData(), 50000) == 0);
    QCOMPARE(form.bodyLength(), counted); // the length was fixed when the file was added

    QCOMPARE(failureOf([&] { readBody(form); }), QStringLiteral("No data to read."));
    QCOMPARE(failureOf([&] { readBodyByStretches(form); }), QStringLiteral("No data to read."));

    // Shrinking mid-stream is caught at the next stretch.
    writeFile(path, patternBytes(100000));
    MultipartForm second(fixedClock());
    second.addFile("data", path, "application/octet-stream");
    auto stream = second.openBody();
    QByteArray block;
    QVERIFY(stream->nextBytes(block)); // part head
    QVERIFY(stream->nextBytes(block)); // first stretch
    QVERIFY(::truncate(QFile::encodeName(path).constData(), 0) == 0);
    QCOMPARE(failureOf([&] { stream->nextBytes(block); }), QStringLiteral("No data to read."));
}

void TestMultipartForm::fileThatGrowsSendsItsCountedBytes()
{
    const QString path = m_dir->filePath("growing.bin");
    writeFile(path, patternBytes(40000));
    MultipartForm form(fixedClock());
    form.addFile("data", path, "application/octet-stream");
    QFile appender(path);
    QVERIFY(appender.open(QIODevice::Append));
    appender.write(QByteArray(10000, 'z'));
    appender.close();
    const QByteArray body = readBody(form);
    QCOMPARE(form.bodyLength(), body.size());
    QVERIFY(body.contains(patternBytes(40000) + "\r\n----------033122140509123--\r\n"));
}

void TestMultipartForm::discardClosesFiles()
{
    const QString path = m_dir->filePath("a.bin");
    writeFile(path, "abc");
    int fd = -1;
    {
        MultipartForm form(fixedClock());
        fd = form.addFile("data", path, "application/octet-stream").file->fd();
        QVERIFY(::fcntl(fd, F_GETFD) != -1);
    }
    QCOMPARE(::fcntl(fd, F_GETFD), -1);
    QCOMPARE(errno, EBADF);
}

void TestMultipartForm::independentParserAgrees()
{
    const QByteArray python = qgetenv("UNMZ_PYTHON");
    if (python.isEmpty())
        QSKIP("UNMZ_PYTHON is not set");

    const QString fileName = QStringLiteral("Сводный реестр нормативных документов УНМЗ 2022.pdf");
    const QString path = m_dir->filePath(fileName);
    const QByteArray content = patternBytes(5 * 1024 * 1024 + 123);
    writeFile(path, content);

    MultipartForm form(fixedClock());
    form.addTextField("action", "loadFile");
    form.addTextField("folder", "");
    form.addTextField("note", QString(100, 'A') + " a=b .x\r\nsecond line \t");
    FormField &utf8 = form.addTextField("fileName", "Реестр УНМЗ «2022»", "utf-8");
    form.setTransferEncoding(utf8, "8bit");
    form.addTextField("Имя поля", "value").headerCharset = "UTF-8";
    FormField &file = form.addFile("data", path, "application/pdf");
    file.headerCharset = "UTF-8";
    const QString quotedPath = m_dir->filePath("x\"; name=\"evil\r\nX: 1.pdf");
    writeFile(quotedPath, "tiny");
    form.addFile("quoted", quotedPath, "application/pdf").headerCharset = "KOI8-R";

    const QString bodyPath = m_dir->filePath("body.bin");
    QFile bodyFile(bodyPath);
    QVERIFY(bodyFile.open(QIODevice::WriteOnly));
    auto stream = form.openBody();
    QByteArray block;
    qint64 written = 0;
    while (stream->nextBytes(block))
        written += bodyFile.write(block);
    bodyFile.close();
    QCOMPARE(written, form.bodyLength());

    QProcess check;
    check.start(QString::fromLocal8Bit(python),
        {sourceDir() + "/tests/net/multipart_check.py", bodyPath,
            QString::fromLatin1(form.boundary())});
    QVERIFY(check.waitForFinished(120000));
    QVERIFY2(check.exitCode() == 0, check.readAllStandardError().constData());
    const QJsonObject result = QJsonDocument::fromJson(check.readAllStandardOutput()).object();
    QCOMPARE(result["defects"].toArray(), QJsonArray());
    const QJsonArray parts = result["parts"].toArray();
    QCOMPARE(parts.size(), 7);

    auto text = [&](int i) { return parts[i].toObject(); };
    QCOMPARE(text(0)["name"].toString(), "action");
    QCOMPARE(text(0)["value"].toString(), "loadFile");
    QCOMPARE(text(1)["name"].toString(), "folder");
    QCOMPARE(text(1)["value"].toString(), "");
    QCOMPARE(text(2)["value"].toString(), QString(100, 'A') + " a=b .x\r\nsecond line \t");
    QCOMPARE(text(2)["transfer_encoding"].toString(), "quoted-printable");
    QCOMPARE(text(3)["name"].toString(), "fileName");
    QCOMPARE(text(3)["charset"].toString(), "utf-8");
    QCOMPARE(text(3)["value"].toString(), QStringLiteral("Реестр УНМЗ «2022»"));
    QCOMPARE(text(4)["name"].toString(), QStringLiteral("Имя поля"));
    QCOMPARE(text(5)["name"].toString(), "data");
    QCOMPARE(text(5)["filename"].toString(), fileName);
    QCOMPARE(text(5)["content_type"].toString(), "application/pdf");
    QCOMPARE(text(5)["size"].toInteger(), content.size());
    QCOMPARE(text(5)["sha256"].toString(),
        QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex()));
    QCOMPARE(text(6)["name"].toString(), "quoted");
    QCOMPARE(text(6)["filename"].toString(), QStringLiteral("x\"; name=\"evil\r\nX: 1.pdf"));
    QCOMPARE(text(6)["header_count"].toInt(), 3); // no header smuggled in
    QCOMPARE(text(6)["size"].toInteger(), 4);
}

QTEST_GUILESS_MAIN(TestMultipartForm)
#include "tst_multipartform.moc"
