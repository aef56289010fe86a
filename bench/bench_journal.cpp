// The journal under load, offscreen, each part in a process of its own (so each peak RSS
// is its own), RUNS times, reported as median [min - max]:
//   reference  a plain text view with the toolkit's own layout, as large as the window's
//              journal, fed by one cursor per batch of 100 lines and scrolled to its end
//              once per batch, with the same texts, colours and bold;
//   relay      progress replies of 10,000 items (a quarter each plain, ok, warning,
//              error) fetched from a loopback server and relayed into the window, one
//              after the other, to 100,000 lines; a 5 ms timer measures the longest gap
//              between two events the window handles;
//   direct     lines added one by one through addMessage ... addErrorMessage;
//   long line  one reply of one item of 2^20 characters after 100 lines: words of seven
//              letters, or one run without a place to break.
// Per 1,000 lines "first" and "last" are the averages over the first and the last
// 10,000 lines. Per line, the relay's first reply is set against the reference's first
// 10,000 lines, and all lines against all. A relay is timed from the first batch of its
// lines to the last one painted, and also from the fetch's start.
// Memory per line is (peak RSS - RSS before the first line) / lines.
//
// usage: QT_QPA_PLATFORM=offscreen bench_journal [RUNS [LINES]]   (default 3 runs, 100,000)
#include "app/main.h"
#include "bench/BenchFigures.h"
#include "support/ScriptedServer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <numeric>
#include <sys/resource.h>

namespace
{

constexpr int defaultRuns = 3;
constexpr int defaultLines = 100000;
constexpr int replyItems = 10000;
constexpr int referenceBatch = 100;
constexpr int gapTimerMs = 5;
constexpr qsizetype longLineChars = 1 << 20;
constexpr int childTimeoutMs = 600000;

QString message(int i)
{
    return QStringLiteral("Строка %1 реестра обработана: объект добавлен").arg(i);
}

// The marker that gives item i its kind, as the service writes it.
QString item(int i)
{
    switch (i % 4) {
    case 1: return QStringLiteral("good! ") + message(i);
    case 2: return QStringLiteral("warning! ") + message(i);
    case 3: return QStringLiteral("Ошибка: ") + message(i);
    default: return message(i);
    }
}

QByteArray httpReply(const QString &body)
{
    const QByteArray bytes = body.toUtf8();
    return "HTTP/1.0 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: "
        + QByteArray::number(bytes.size()) + "\r\n\r\n" + bytes;
}

double rssKiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toDouble() * 4; // pages of 4 KiB
}

double peakRssKiB()
{
    struct rusage usage {
    };
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss);
}

void report(const char *key, double value)
{
    std::printf("%s %.4f\n", key, value);
    std::fflush(stdout);
}

// Per 1,000 lines over the first and the last 10,000 of `msPerThousand`.
void reportFirstLast(const QList<double> &msPerThousand)
{
    const int window = qMin(10, int(msPerThousand.size()));
    auto average = [&](int from) {
        double sum = 0;
        for (int i = from; i < from + window; ++i)
            sum += msPerThousand.at(i);
        return sum / window;
    };
    const double first = average(0);
    const double last = average(int(msPerThousand.size()) - window);
    report("first_ms_per_1000", first);
    report("last_ms_per_1000", last);
    report("last_to_first", last / first);
}

// The window, telling when a batch of lines begins: a reply's relay begins with one.
class BenchForm : public TForm1
{
public:
    QElapsedTimer firstBatch; // since the first batch after restart()
    void restart() { firstBatch.invalidate(); }
    void beginBatch() override
    {
        if (!firstBatch.isValid())
            firstBatch.start();
        TForm1::beginBatch();
    }
};

struct Window {
    BenchForm form;
    Window()
    {
        form.show();
        QCoreApplication::processEvents();
    }
};

int runReference(int lines)
{
    // A plain view, with the toolkit's own layout, set up and sized as the window's.
    Window window;
    QTextEdit plain;
    plain.setReadOnly(true);
    plain.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    plain.document()->setUndoRedoEnabled(false);
    plain.document()->setDefaultFont(window.form.reMessages->document()->defaultFont());
    plain.resize(window.form.reMessages->size());
    QObject::connect(&plain, &QTextEdit::textChanged,
        [&plain] { plain.verticalScrollBar()->setValue(plain.verticalScrollBar()->maximum()); });
    window.form.hide();
    plain.show();
    QCoreApplication::processEvents();
    QTextDocument *document = plain.document();
    QTextCharFormat formats[4];
    const unsigned colours[4] = {0, okLineRgb, warningLineRgb, errorLineRgb};
    for (int kind = 1; kind < 4; ++kind) {
        formats[kind].setForeground(QColor::fromRgb(colours[kind]));
        formats[kind].setFontWeight(QFont::Bold);
    }
    const double baseline = rssKiB();
    QList<double> perThousand;
    QElapsedTimer clock;
    clock.start();
    for (int done = 0; done < lines; done += referenceBatch) {
        QTextCursor cursor(document);
        cursor.beginEditBlock();
        cursor.movePosition(QTextCursor::End);
        for (int i = done; i < done + referenceBatch; ++i) {
            const auto [date, time] = journalStamp();
            if (!document->isEmpty())
                cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
            cursor.insertText(journalLineText(i + 1, date, time, message(i)), formats[i % 4]);
        }
        cursor.endEditBlock(); // the view's change handler scrolls to the end
        if ((done + referenceBatch) % 1000 == 0) {
            QCoreApplication::processEvents(); // lay out and paint, as between ticks
            perThousand << clock.nsecsElapsed() / 1e6;
            clock.restart();
        }
    }
    reportFirstLast(perThousand);
    double firstTen = 0;
    for (int i = 0; i < qMin(10, int(perThousand.size())); ++i)
        firstTen += perThousand.at(i);
    report("us_per_line", firstTen * 1000 / qMin(10000, lines));
    report("us_per_line_all",
        std::accumulate(perThousand.cbegin(), perThousand.cend(), 0.0) * 1000 / lines);
    report("kib_per_line", (peakRssKiB() - baseline) / lines);
    return document->blockCount() == lines ? 0 : 1;
}

// Relays `replies` one after the other; returns each reply's milliseconds, and the
// longest gap between two ticks of a 5 ms timer meanwhile.
// The server answers each fetch with the next reply.
std::unique_ptr<ScriptedServer> serverOf(const QList<QString> &replies)
{
    auto server = std::make_unique<ScriptedServer>();
    for (const QString &reply : replies)
        server->addScript(ScriptedServer::reply(httpReply(reply)));
    return server;
}

struct ReplyTimes {
    QList<double> withFetch; // from the fetch's start
    QList<double> relay;     // from the first batch of its lines
};

// Relays `replies` one after the other, each to its last line painted; sets the longest
// gap between two ticks of a 5 ms timer meanwhile.
ReplyTimes relay(Window &window, ScriptedServer &server, int replies, double &longestGapMs)
{
    window.form.edtServer->setText(server.url(QString()));
    UploadRun &run = window.form.uploadRun();

    QElapsedTimer sinceTick;
    sinceTick.start();
    longestGapMs = 0;
    QTimer ticks;
    QObject::connect(&ticks, &QTimer::timeout, [&] {
        longestGapMs = qMax(longestGapMs, sinceTick.nsecsElapsed() / 1e6);
        sinceTick.restart();
    });
    ticks.start(gapTimerMs);

    ReplyTimes times;
    QElapsedTimer clock;
    for (int i = 0; i < replies; ++i) {
        clock.start();
        window.form.restart();
        window.form.getLogFromServer();
        while (run.fetchInProgress())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::processEvents(); // the last lines painted
        times.withFetch << clock.nsecsElapsed() / 1e6;
        times.relay << window.form.firstBatch.nsecsElapsed() / 1e6;
    }
    // The gap up to now counts too: no tick may have come after the last slice.
    longestGapMs = qMax(longestGapMs, sinceTick.nsecsElapsed() / 1e6);
    return times;
}

int runRelay(int lines)
{
    Window window;
    QList<QString> replies;
    for (int done = 0; done < lines; done += replyItems) {
        QStringList items;
        for (int i = done; i < done + replyItems; ++i)
            items << item(i);
        replies << items.join(u';');
    }
    const std::unique_ptr<ScriptedServer> server = serverOf(replies);
    const int count = int(replies.size());
    replies.clear();
    const double baseline = rssKiB();
    double longestGap = 0;
    const ReplyTimes times = relay(window, *server, count, longestGap);
    QList<double> perThousand;
    for (double replyMs : times.relay)
        for (int i = 0; i < replyItems / 1000; ++i)
            perThousand << replyMs / (replyItems / 1000);
    reportFirstLast(perThousand);
    const QList<double> &ms = times.relay;
    report("us_per_line", ms.first() * 1000 / replyItems);
    report("us_per_line_all", std::accumulate(ms.cbegin(), ms.cend(), 0.0) * 1000 / lines);
    report("us_per_line_fetch", times.withFetch.first() * 1000 / replyItems);
    report("longest_gap_ms", longestGap);
    report("kib_per_line", (peakRssKiB() - baseline) / lines);
    return window.form.reMessages->document()->blockCount() == lines ? 0 : 1;
}

int runDirect(int lines)
{
    Window window;
    const double baseline = rssKiB();
    QList<double> perThousand;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < lines; ++i) {
        window.form.addLine(JournalKind(i % 4), message(i));
        if ((i + 1) % 1000 == 0) {
            QCoreApplication::processEvents();
            perThousand << clock.nsecsElapsed() / 1e6;
            clock.restart();
        }
    }
    reportFirstLast(perThousand);
    report("kib_per_line", (peakRssKiB() - baseline) / lines);
    return window.form.reMessages->document()->blockCount() == lines ? 0 : 1;
}

// One reply of one item of 1 MiB after 100 ordinary lines: words of seven letters, or
// one run without a place to break the line.
int runLongLine(bool words)
{
    Window window;
    for (int i = 0; i < 100; ++i)
        window.form.addLine(JournalKind(i % 4), message(i));
    QString text(longLineChars, u'ж');
    if (words)
        for (qsizetype i = 7; i < text.size(); i += 8)
            text[i] = u' ';
    const std::unique_ptr<ScriptedServer> server = serverOf({text});
    double longestGap = 0;
    const ReplyTimes times = relay(window, *server, 1, longestGap);
    report(words ? "long_words_ms" : "long_unbroken_ms", times.relay.first());
    report(words ? "long_words_fetch_ms" : "long_unbroken_fetch_ms", times.withFetch.first());
    report(words ? "long_words_gap_ms" : "long_unbroken_gap_ms", longestGap);
    const QTextDocument *document = window.form.reMessages->document();
    return document->lastBlock().length() > longLineChars ? 0 : 1;
}

int runPart(const QString &part, int lines)
{
    if (part == u"reference")
        return runReference(lines);
    if (part == u"relay")
        return runRelay(lines);
    if (part == u"direct")
        return runDirect(lines);
    if (part == u"long-words")
        return runLongLine(true);
    if (part == u"long-unbroken")
        return runLongLine(false);
    std::fprintf(stderr, "unknown part %s\n", qPrintable(part));
    return 2;
}

using Figures = std::map<std::string, QList<double>>;

bool runChild(const QString &part, int lines, Figures &figures)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(),
        {QStringLiteral("--part"), part, QString::number(lines)});
    if (!child.waitForFinished(childTimeoutMs) || child.exitCode() != 0) {
        std::fprintf(stderr, "part %s failed\n", qPrintable(part));
        child.kill();
        child.waitForFinished();
        return false;
    }
    for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 2)
            figures[(part + u'.' + QString::fromUtf8(fields.at(0))).toStdString()]
                << fields.at(1).toDouble();
    }
    return true;
}

QString summary(QList<double> values, int decimals)
{
    if (values.isEmpty())
        return QStringLiteral("-");
    const std::vector<double> all(values.cbegin(), values.cend());
    return QStringLiteral("%1 [%2 - %3]")
        .arg(bench::quantile(all, 0.5), 0, 'f', decimals)
        .arg(bench::quantile(all, 0), 0, 'f', decimals)
        .arg(bench::quantile(all, 1), 0, 'f', decimals);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && QByteArray(argv[1]) == "--part") {
        QApplication application(argc, argv);
        return runPart(QString::fromLocal8Bit(argv[2]), qMax(replyItems, atoi(argv[3])));
    }
    QCoreApplication application(argc, argv);
    const int runs = argc > 1 ? qMax(1, atoi(argv[1])) : defaultRuns;
    const int lines
        = argc > 2 ? qMax(replyItems, atoi(argv[2]) / replyItems * replyItems) : defaultLines;
    const int directLines = qMin(lines, 20000);

    Figures figures;
    QList<double> ratios;
    QList<double> ratiosAll;
    for (int run = 0; run < runs; ++run) {
        std::fprintf(stderr, "run %d of %d\n", run + 1, runs);
        if (!runChild(QStringLiteral("reference"), lines, figures)
            || !runChild(QStringLiteral("relay"), lines, figures)
            || !runChild(QStringLiteral("direct"), directLines, figures)
            || !runChild(QStringLiteral("long-words"), lines, figures)
            || !runChild(QStringLiteral("long-unbroken"), lines, figures))
            return 1;
        ratios << figures["relay.us_per_line"].last() / figures["reference.us_per_line"].last();
        ratiosAll << figures["relay.us_per_line_all"].last()
                / figures["reference.us_per_line_all"].last();
    }

    auto print = [&](const char *label, const std::string &key, int decimals) {
        std::printf("%-48s %s\n", label, qPrintable(summary(figures[key], decimals)));
    };
    std::printf("bench_journal: %d runs, %d lines (a quarter each plain, ok, warning, error); "
                "median [min - max]\n",
        runs, lines);
    std::printf("reference (a plain view, one cursor and one scroll per 100 lines):\n");
    print("  ms per 1,000 lines, first", "reference.first_ms_per_1000", 1);
    print("  ms per 1,000 lines, last", "reference.last_ms_per_1000", 1);
    print("  last / first", "reference.last_to_first", 2);
    print("  us per line, first 10,000", "reference.us_per_line", 1);
    print("  us per line, all", "reference.us_per_line_all", 1);
    print("  KiB of peak RSS per line", "reference.kib_per_line", 2);
    std::printf("relay (replies of %d items through the poll):\n", replyItems);
    print("  ms per 1,000 lines, first", "relay.first_ms_per_1000", 1);
    print("  ms per 1,000 lines, last", "relay.last_ms_per_1000", 1);
    print("  last / first", "relay.last_to_first", 2);
    print("  us per line, first reply", "relay.us_per_line", 1);
    print("  us per line, all", "relay.us_per_line_all", 1);
    print("  us per line, first reply, fetch included", "relay.us_per_line_fetch", 1);
    std::printf(
        "%-48s %s\n", "  relay / reference per line, first 10,000", qPrintable(summary(ratios, 2)));
    std::printf(
        "%-48s %s\n", "  relay / reference per line, all", qPrintable(summary(ratiosAll, 2)));
    print("  longest gap between events, ms", "relay.longest_gap_ms", 1);
    print("  KiB of peak RSS per line", "relay.kib_per_line", 2);
    std::printf("direct (addMessage ... addErrorMessage, %d lines):\n", directLines);
    print("  ms per 1,000 lines, first", "direct.first_ms_per_1000", 1);
    print("  ms per 1,000 lines, last", "direct.last_ms_per_1000", 1);
    print("  KiB of peak RSS per line", "direct.kib_per_line", 2);
    std::printf("one line of 2^20 characters in one reply, to the line painted:\n");
    print("  words of seven letters, ms", "long-words.long_words_ms", 0);
    print("    fetch included, ms", "long-words.long_words_fetch_ms", 0);
    print("    longest gap between events, ms", "long-words.long_words_gap_ms", 0);
    print("  one unbroken run, ms", "long-unbroken.long_unbroken_ms", 0);
    print("    fetch included, ms", "long-unbroken.long_unbroken_fetch_ms", 0);
    print("    longest gap between events, ms", "long-unbroken.long_unbroken_gap_ms", 0);
    return 0;
}
