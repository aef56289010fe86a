#include "cli/CommandLineUpload.h"
#include "cli/ConsoleJournal.h"

#include <QElapsedTimer>
#include <QTest>

#include <atomic>
#include <fcntl.h>
#include <thread>
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

    int readFd() const { return m_fds[0]; }
    void closeWriteEnd()
    {
        ::close(m_fds[1]);
        m_fds[1] = -1;
    }

private:
    int m_fds[2];
};

// A reader that stops reading: the pipe is filled to the brim. Should the writer wait past
// 5 s, the reader wakes and drains it, so that a failing test fails rather than hangs.
class StalledReader
{
public:
    explicit StalledReader(Capture &pipe)
        : m_pipe(pipe)
    {
        // Whole blocks, then bytes: a block that no longer fits whole is refused whole.
        while (::write(pipe.fd(), m_block, sizeof m_block) > 0) { }
        while (::write(pipe.fd(), m_block, 1) > 0) { }
        m_thread = std::thread([this] {
            QElapsedTimer since;
            since.start();
            while (!m_done.load()) {
                if (since.elapsed() > 5000)
                    m_pipe.take();
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    ~StalledReader()
    {
        m_done.store(true);
        m_thread.join();
    }

private:
    Capture &m_pipe;
    char m_block[4096] = {};
    std::atomic<bool> m_done{false};
    std::thread m_thread;
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

    void cleanup() { ConsoleJournal::setStopFd(-1); } // the writer is process-wide

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

    // Standard output handed over as a non-blocking pipe: a full pipe is waited for, never
    // a line dropped.
    void nonBlockingOutputLosesNoLine()
    {
        Capture out, err;
        const int flags = ::fcntl(out.readFd(), F_GETFL);
        ::fcntl(out.readFd(), F_SETFL, flags & ~O_NONBLOCK);
        QByteArray received;
        std::thread reader([&] {
            char buffer[4096];
            ssize_t n;
            while ((n = ::read(out.readFd(), buffer, sizeof buffer)) > 0) {
                received.append(buffer, n);
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });
        const QString text(100, u'ж');
        const int lines = (1 << 20) / (text.size() * 2);
        {
            ConsoleJournal journal(out.fd(), err.fd(), {});
            for (int i = 0; i < lines; ++i)
                journal.addLine(JournalKind::Plain, text);
        }
        out.closeWriteEnd(); // the reader's end of file
        reader.join();
        const QList<QByteArray> got = received.split('\n');
        QCOMPARE(got.size(), lines + 1);
        for (int i = 0; i < lines; ++i)
            QCOMPARE(got.at(i), QStringLiteral("%1. d t %2").arg(i + 1).arg(text).toUtf8());
    }

    // A stop while the output is full ends the wait, and no later write waits again, even
    // once the event loop has read the stop.
    void stopEndsTheWaitForAFullOutput()
    {
        Capture out, err, stop;
        StalledReader stalled(out);
        ConsoleJournal::setStopFd(stop.readFd());
        std::thread signaller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            (void)!::write(stop.fd(), "\x0f", 1);
        });
        ConsoleJournal journal(out.fd(), err.fd(), {});
        QElapsedTimer since;
        since.start();
        journal.addLine(JournalKind::Plain, QStringLiteral("blocked"));
        signaller.join();
        QVERIFY(ConsoleJournal::isStopping());
        QCOMPARE(stop.take(), QByteArray("\x0f")); // left for the event loop to read

        journal.addLine(JournalKind::Plain, QStringLiteral("report"));
        QVERIFY2(since.elapsed() < 5000, "the writer waited past the stop");
        QVERIFY(ConsoleJournal::isStopping());
    }
};

QTEST_APPLESS_MAIN(TestConsole)
#include "tst_console.moc"
