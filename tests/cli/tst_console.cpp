#include "cli/CommandLineUpload.h"
#include "cli/ConsoleJournal.h"

#include <QTest>

#include <fcntl.h>
#include <unistd.h>

Q_DECLARE_METATYPE(JournalKind)

namespace
{

// A pipe standing in for standard output or standard error; reads what was written.
class Capture
{
public:
    Capture()
    {
        if (::pipe2(m_fds, O_NONBLOCK) != 0)
            m_fds[0] = m_fds[1] = -1;
    }
    ~Capture()
    {
        ::close(m_fds[0]);
        ::close(m_fds[1]);
    }
    int fd() const { return m_fds[1]; }
    QByteArray take()
    {
        QByteArray bytes;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(m_fds[0], buffer, sizeof buffer)) > 0)
            bytes.append(buffer, n);
        return bytes;
    }

private:
    int m_fds[2];
};

} // namespace

class TestConsole : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        setJournalStampForTesting([] {
            return std::pair{QStringLiteral("d"), QStringLiteral("t")};
        });
    }

    // The interrupt notice says what reached the service: skipped and refused documents
    // count for the progress, never as delivered.
    void interruptNotice_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<int>("done"); // documents whose turn has ended
        QTest::addColumn<int>("failed");
        QTest::addColumn<QString>("notice");
        const int documents = int(JobProgress::Step::Documents);
        const int attaching = int(JobProgress::Step::Attaching);
        QTest::newRow("mid-documents, all delivered")
            << documents << 2 << 0 << "реестр передан, передано 2 из 8 документов";
        QTest::newRow("mid-documents, some not")
            << documents << 5 << 3 << "реестр передан, передано 2 из 8 документов (не передано: 3)";
        QTest::newRow("attaching, all delivered") << attaching << 8 << 0
                                                  << "реестр передан, переданы все документы (8), "
                                                     "их прикрепление на сервере не завершено";
        QTest::newRow("attaching, some not")
            << attaching << 8 << 5
            << "реестр передан, передано 3 из 8 документов (не передано: 5), их прикрепление на "
               "сервере не завершено";
    }

    void interruptNotice()
    {
        QFETCH(int, step);
        QFETCH(int, done);
        QFETCH(int, failed);
        QFETCH(QString, notice);
        JobProgress progress;
        progress.step = JobProgress::Step(step);
        progress.workbookSent = true;
        progress.workbookDelivered = true;
        progress.documentsTotal = 8;
        progress.documentsSent = done;
        progress.documentsFailed = failed;
        QCOMPARE(CommandLineUpload::sentSoFar(true, progress), notice);
    }

    void terminalSafe_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("safe");
        QTest::newRow("plain Cyrillic stays") << "Документ загружен"
                                              << "Документ загружен";
        QTest::newRow("tab stays") << "a\tb"
                                   << "a\tb";
        QTest::newRow("every line break becomes LF")
            << QString("a\r\nb\rc\nd") + QChar(0x2028) + "e" + QChar(0x2029) + "f"
            << "a\nb\nc\nd\ne\nf";
        QTest::newRow("escape sequence from the service is defused")
            << "\x1b]0;title\x07\x1b[2J" << QString("\uFFFD]0;title\uFFFD\uFFFD[2J");
        QTest::newRow("DEL and C1 controls")
            << QString("a\x7f") + QChar(0x9b) + "b" << QString("a\uFFFD\uFFFDb");
    }

    void terminalSafe()
    {
        QFETCH(QString, text);
        QTEST(ConsoleJournal::terminalSafe(text), "safe");
    }

    void linesInTheWindowsColours_data()
    {
        QTest::addColumn<JournalKind>("kind");
        QTest::addColumn<bool>("trueColour");
        QTest::addColumn<QByteArray>("sequence");
        QTest::newRow("plain: none") << JournalKind::Plain << true << QByteArray();
        QTest::newRow("ok: green bold") << JournalKind::Ok << false << QByteArray("\x1b[1;32m");
        QTest::newRow("warning: blue bold")
            << JournalKind::Warning << false << QByteArray("\x1b[1;34m");
        QTest::newRow("error: red bold") << JournalKind::Error << false << QByteArray("\x1b[1;31m");
        QTest::newRow("ok in 24-bit: 0,128,0")
            << JournalKind::Ok << true << QByteArray("\x1b[1;38;2;0;128;0m");
        QTest::newRow("warning in 24-bit: 0,0,255")
            << JournalKind::Warning << true << QByteArray("\x1b[1;38;2;0;0;255m");
        QTest::newRow("error in 24-bit: 255,0,0")
            << JournalKind::Error << true << QByteArray("\x1b[1;38;2;255;0;0m");
    }

    void linesInTheWindowsColours()
    {
        QFETCH(JournalKind, kind);
        QFETCH(bool, trueColour);
        QFETCH(QByteArray, sequence);
        QCOMPARE(ConsoleJournal::colourOn(kind, trueColour), sequence);

        Capture out, err;
        ConsoleJournal coloured(out.fd(), err.fd(), {true, trueColour, false, false});
        coloured.addLine(kind, QStringLiteral("текст"));
        const QByteArray line = QStringLiteral("1. d t текст").toUtf8();
        QCOMPARE(out.take(), sequence.isEmpty() ? line + '\n' : sequence + line + "\x1b[0m\n");

        ConsoleJournal plain(out.fd(), err.fd(), {false, trueColour, false, false});
        plain.addLine(kind, QStringLiteral("текст"));
        QCOMPARE(out.take(), line + '\n');
        QCOMPARE(err.take(), QByteArray());
    }

    void quietShowsErrorsWithTheirNumbers()
    {
        Capture out, err;
        ConsoleJournal journal(out.fd(), err.fd(), {false, false, true, false});
        journal.addLine(JournalKind::Plain, QStringLiteral("a"));
        journal.addLine(JournalKind::Error, QStringLiteral("b"));
        journal.addLine(JournalKind::Warning, QStringLiteral("c"));
        journal.showEveryLine(); // the final line shows whatever its kind
        journal.addLine(JournalKind::Ok, QStringLiteral("d"));
        QCOMPARE(out.take(), QByteArray("2. d t b\n4. d t d\n"));
        QCOMPARE(journal.lineCount(), 4);
    }

    void statusLineIsClearedBeforeEachJournalLine()
    {
        Capture out, err;
        ConsoleJournal journal(out.fd(), err.fd(), {false, false, false, true});
        journal.setStatus(QStringLiteral("Передача реестра"));
        QByteArray status = err.take();
        QVERIFY(status.startsWith("\r\x1b[K"));
        QVERIFY(status.contains(QStringLiteral("Передача реестра").toUtf8()));
        QVERIFY(!status.contains('\n')); // redrawn in place, never scrolled

        journal.addLine(JournalKind::Plain, QStringLiteral("строка"));
        QCOMPARE(out.take(), QStringLiteral("1. d t строка\n").toUtf8());
        status = err.take();
        QVERIFY(status.startsWith("\r\x1b[K\r\x1b[K")); // cleared, then drawn again

        journal.writeErrorLine(QStringLiteral("прервано"));
        QVERIFY(err.take().contains(QStringLiteral("\r\x1b[Kпрервано\n").toUtf8()));

        journal.stopStatus();
        err.take();
        journal.tickStatus();
        journal.addLine(JournalKind::Plain, QStringLiteral("последняя"));
        QCOMPARE(err.take(), QByteArray()); // gone for good
    }
};

QTEST_APPLESS_MAIN(TestConsole)
#include "tst_console.moc"
