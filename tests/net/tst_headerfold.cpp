#include "net/FormPostClient.h"

#include <QRandomGenerator>
#include <QtTest>

// Folding of long request header lines: the one-pass fold must give exactly what the
// earlier fold (kept below as the reference) gave, for every line; and a line of many
// megabytes must fold at all, which the earlier one did only in time growing with the
// square of its length.

#if defined(__SANITIZE_ADDRESS__)
#define UNMZ_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNMZ_SANITIZED 1
#endif
#endif

namespace
{

// The earlier fold: it rescans and copies the rest of the line for every line it folds
// off. Slow on long lines but plainly right, so it serves as the reference.
QList<QByteArray> referenceFold(const QByteArray &line)
{
    QList<QByteArray> lines;
    QByteArray rest = line;
    QByteArray prefix;
    while (prefix.size() + rest.size() > MaxRequestHeaderLine) {
        qsizetype lastFit = -1;
        qsizetype firstBeyond = -1;
        bool quoted = false;
        for (qsizetype i = 0; i < rest.size(); ++i) {
            const char c = rest.at(i);
            if (c == '"')
                quoted = !quoted;
            if (quoted || (c != ' ' && c != '\t' && c != ','))
                continue;
            if (prefix.size() + i + 1 <= MaxRequestHeaderLine) {
                lastFit = i;
            } else {
                firstBeyond = i;
                break;
            }
        }
        const qsizetype at = lastFit >= 0 ? lastFit : firstBeyond;
        if (at < 0 || at + 1 >= rest.size())
            break;
        lines.append(prefix + rest.left(at + 1));
        rest = rest.mid(at + 1);
        prefix = " ";
    }
    lines.append(prefix + rest);
    return lines;
}

QByteArray repeated(const QByteArray &unit, qsizetype size)
{
    QByteArray bytes;
    bytes.reserve(size + unit.size());
    while (bytes.size() < size)
        bytes += unit;
    bytes.truncate(size);
    return bytes;
}

// Mostly letters, with break points, quotes and the other bytes of a Cookie header;
// `breakRate` in 1/1000 sets how often a break point or a quote comes.
QByteArray generatedLine(QRandomGenerator &random, qsizetype size, int breakRate)
{
    static const char kSpecial[] = {' ', '\t', ',', '"', ';', '='};
    QByteArray line(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i) {
        if (int(random.bounded(1000)) < breakRate)
            line[i] = kSpecial[random.bounded(int(sizeof kSpecial))];
        else
            line[i] = char('a' + random.bounded(26));
    }
    return line;
}

} // namespace

class TestHeaderFold : public QObject
{
    Q_OBJECT

private slots:
    void matchesReference_data();
    void matchesReference();
    void matchesReferenceOnGeneratedLines();
    void hugeLineFoldsInOnePass_data();
    void hugeLineFoldsInOnePass();
};

void TestHeaderFold::matchesReference_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("lines");

    constexpr qsizetype limit = MaxRequestHeaderLine;
    const QByteArray words = repeated("ab cd,ef\tgh ", 5000);
    QTest::newRow("empty line") << QByteArray() << 1;
    QTest::newRow("short line") << QByteArray("Cookie: a=1; b=2") << 1;
    QTest::newRow("at the limit") << words.left(limit) << 1;
    QTest::newRow("one past the limit") << words.left(limit + 1) << 2;
    QTest::newRow("break point last in the line at the limit")
        << QByteArray(limit - 1, 'x') + ' ' << 1;
    QTest::newRow("only break point last in a line one past the limit")
        << QByteArray(limit, 'x') + ' ' << 1;
    QTest::newRow("break point the last character that fits")
        << QByteArray(limit - 1, 'x') + ' ' + QByteArray(10, 'y') << 2;
    QTest::newRow("break point one past what fits")
        << QByteArray(limit, 'x') + ' ' + QByteArray(10, 'y') << 2;
    QTest::newRow("no break point") << QByteArray(3 * limit, 'x') << 1;
    QTest::newRow("first break point far beyond the limit")
        << QByteArray(3 * limit, 'x') + ", " + QByteArray(3 * limit, 'y') << 3;
    QTest::newRow("continuation line at the limit with its space")
        << QByteArray(limit - 1, 'x') + ' ' + QByteArray(limit - 2, 'y') + ' ' + "z" << 3;
    QTest::newRow("break points inside quotes skipped")
        << "a=\"" + repeated("q q,", 2 * limit) + "\" b" << 2;
    QTest::newRow("quote left open to the end") << "a=1, b=\"" + repeated("q q,", 2 * limit) << 2;
    QTest::newRow("quotes balanced across a fold") << repeated("x=\"1 2\", ", 3 * limit) << 4;
    QTest::newRow("nothing but break points") << QByteArray(3 * limit, ' ') << 4;
    QTest::newRow("tabs and commas only as break points")
        << repeated("abcdefgh\t", 2 * limit) + repeated("abcdefgh,", 2 * limit) << 5;
    QTest::newRow("many cookies") << repeated("name=value; ", 40 * limit) << 41;
}

void TestHeaderFold::matchesReference()
{
    QFETCH(QByteArray, line);
    QFETCH(int, lines);
    const QList<QByteArray> folded = foldHeaderLine(line);
    QCOMPARE(folded, referenceFold(line));
    QCOMPARE(folded.size(), lines);
}

// Lines around one, two and three times the limit, with break points dense and sparse.
void TestHeaderFold::matchesReferenceOnGeneratedLines()
{
    QRandomGenerator random(20240301);
    constexpr int kLines = 6000;
    static const int kBreakRates[] = {0, 1, 3, 20, 150, 600};
    for (int n = 0; n < kLines; ++n) {
        const qsizetype near = MaxRequestHeaderLine * (1 + n % 3);
        const qsizetype size = n % 2 ? near - 3 + random.bounded(7) : random.bounded(4 * near);
        const int breakRate = kBreakRates[random.bounded(int(std::size(kBreakRates)))];
        const QByteArray line = generatedLine(random, size, breakRate);
        const QList<QByteArray> folded = foldHeaderLine(line);
        if (folded != referenceFold(line))
            QFAIL(qPrintable(QStringLiteral("line %1 of %2 bytes: ").arg(n).arg(size)
                + QString::fromLatin1(line.toBase64())));
    }
}

// Comparing with the reference is out of reach here (it takes seconds per megabyte
// squared); a fold that rescans or copies the rest of the line again would run into the
// test's time limit instead.
void TestHeaderFold::hugeLineFoldsInOnePass_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("fits");

#ifdef UNMZ_SANITIZED
    constexpr qsizetype size = 4 << 20;
#else
    constexpr qsizetype size = 16 << 20;
#endif
    QTest::newRow("cookies") << "Cookie: " + repeated("name=value; ", size) << true;
    QTest::newRow("a quoted half")
        << "Cookie: " + repeated("n=v; ", size / 2) + "q=\"" + repeated("q q ", size / 2) + '"'
        << false;
}

void TestHeaderFold::hugeLineFoldsInOnePass()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, fits);
    const QList<QByteArray> folded = foldHeaderLine(line);
    QVERIFY(folded.size() > line.size() / MaxRequestHeaderLine / 2);
    QByteArray unfolded;
    unfolded.reserve(line.size());
    unfolded += folded.first();
    for (qsizetype i = 1; i < folded.size(); ++i) {
        QVERIFY(folded.at(i).startsWith(' '));
        unfolded += QByteArrayView(folded.at(i)).sliced(1);
    }
    QVERIFY(unfolded == line);
    if (fits) {
        for (const QByteArray &part : folded)
            QVERIFY(part.size() <= MaxRequestHeaderLine);
    }
}

QTEST_GUILESS_MAIN(TestHeaderFold)
#include "tst_headerfold.moc"
