#include "app/Journal.h"

#include "app/main.h"
#include "diag/Exception.h"
#include "diag/uLogWriter.h"
#include "support/LogText.h"

#include <QApplication>
#include <QFile>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>

#include <thread>

namespace
{

// Date "d" and time "t": every line is "N. d t MESSAGE", so its length is known.
std::pair<QString, QString> fixedStamp()
{
    return {QStringLiteral("d"), QStringLiteral("t")};
}

QTextCharFormat formatAt(const TForm1 &form, int position)
{
    QTextCursor cursor(form.reMessages->document());
    cursor.setPosition(position + 1); // the format of the character before the cursor
    return cursor.charFormat();
}

QString textOfLine(const TForm1 &form, int line)
{
    return form.reMessages->document()->findBlockByNumber(line).text();
}

} // namespace

class TestJournal : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void viewTextKeepsOneParagraph_data();
    void viewTextKeepsOneParagraph();

    void numbersRiseWithEveryKind();
    void linesBeginWhereThePreviousEndedPlusOne();
    void newLineStaysSelected();
    void kindsHaveTheirColourAndWeight_data();
    void kindsHaveTheirColourAndWeight();
    void plainLineAfterErrorLineIsPlain();
    void messageWithLineBreaksStaysOneParagraph();
    void markupIsShownAsText();
    void resetStartsAgainAtOneAndPositionZero();
    void failedPlainAppendColoursNothing();
    void viewScrollsToTheNewestLine();
    void batchShowsWhatLinesAddedOneByOneShow();
    void batchSelectsAndScrollsOnceAtItsOuterEnd();
    void selectionWithinTheView_data();
    void selectionWithinTheView();
    void appendsFromAWorkerKeepTheirOrder();
    void appendsFromAWorkerAfterCloseReturnAtOnce();

private:
    QTemporaryDir m_logs;
};

void TestJournal::initTestCase()
{
    QVERIFY(m_logs.isValid());
    setLogFolderForTesting(m_logs.path() + u'/');
    TForm1::setJournalStampForTesting(fixedStamp);
}

void TestJournal::cleanup()
{
    TForm1::setJournalStampForTesting(fixedStamp);
}

void TestJournal::viewTextKeepsOneParagraph_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("expected");
    const QString ls(QChar::LineSeparator);
    QTest::newRow("no breaks: unchanged") << "a b"
                                          << "a b";
    QTest::newRow("LF") << "a\nb"
                        << "a" + ls + "b";
    QTest::newRow("CR LF is one break") << "a\r\nb"
                                        << "a" + ls + "b";
    QTest::newRow("CR alone") << "a\rb"
                              << "a" + ls + "b";
    QTest::newRow("LF CR is two breaks") << "a\n\rb"
                                         << "a" + ls + ls + "b";
    QTest::newRow("paragraph separator") << QStringLiteral("a\u2029b") << "a" + ls + "b";
    QTest::newRow("frame markers of the view")
        << QStringLiteral("a\ufdd0\ufdd1") << QStringLiteral("a\ufffd\ufffd");
}

void TestJournal::viewTextKeepsOneParagraph()
{
    QFETCH(QString, line);
    QFETCH(QString, expected);
    const QString text = journalViewText(line);
    QCOMPARE(text, expected);

    // Property: the view holds it as exactly one paragraph of exactly that length.
    QTextDocument document;
    QTextCursor(&document).insertText(text);
    QCOMPARE(document.blockCount(), 1);
    QCOMPARE(document.characterCount(), text.size() + 1);
}

void TestJournal::numbersRiseWithEveryKind()
{
    TForm1 form;
    form.addMessage(QStringLiteral("a"));
    form.addOkMessage(QStringLiteral("b"));
    form.addWarningMessage(QStringLiteral("c"));
    form.addErrorMessage(QStringLiteral("d"));
    form.addLine(JournalKind::Plain, QStringLiteral("e"));
    QCOMPARE(form.num, 5);
    const QStringList expected{"1. d t a", "2. d t b", "3. d t c", "4. d t d", "5. d t e"};
    QCOMPARE(form.reMessages->document()->blockCount(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(textOfLine(form, i), expected.at(i));
}

void TestJournal::linesBeginWhereThePreviousEndedPlusOne()
{
    // Date "" and time "x": line N is "N.  x MESSAGE", trimmed.
    TForm1::setJournalStampForTesting([] { return std::pair{QString(), QStringLiteral("x")}; });
    TForm1 form;
    const QStringList messages{QStringLiteral("abcd"), QStringLiteral("абвгдежзийклмн"), QString()};
    const QList<int> lengths{10, 20, 5};
    const QList<int> starts{0, 11, 32};
    for (int i = 0; i < messages.size(); ++i) {
        form.addMessage(messages.at(i));
        QCOMPARE(textOfLine(form, i).size(), lengths.at(i));
        QCOMPARE(form.reMessages->document()->findBlockByNumber(i).position(), starts.at(i));
        QCOMPARE(form.reMessages->textCursor().selectionStart(), starts.at(i));
    }
    QCOMPARE(form.shift, 38);
    QCOMPARE(form.reMessages->document()->characterCount(), 38); // the end: 37 plus the last mark
}

void TestJournal::newLineStaysSelected()
{
    TForm1 form;
    form.addMessage(QStringLiteral("first"));
    form.addErrorMessage(QStringLiteral("second"));
    QCOMPARE(form.reMessages->textCursor().selectedText(), QStringLiteral("2. d t second"));
}

void TestJournal::kindsHaveTheirColourAndWeight_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QColor>("colour"); // invalid: no colour of its own
    QTest::addColumn<bool>("bold");
    QTest::newRow("plain: base colour, regular") << int(JournalKind::Plain) << QColor() << false;
    QTest::newRow("ok: green, bold") << int(JournalKind::Ok) << QColor(0, 128, 0) << true;
    QTest::newRow("warning: blue, bold") << int(JournalKind::Warning) << QColor(0, 0, 255) << true;
    QTest::newRow("error: red, bold") << int(JournalKind::Error) << QColor(255, 0, 0) << true;
}

void TestJournal::kindsHaveTheirColourAndWeight()
{
    QFETCH(int, kind);
    QFETCH(QColor, colour);
    QFETCH(bool, bold);
    TForm1 form;
    form.addMessage(QStringLiteral("before"));
    form.addLine(JournalKind(kind), QStringLiteral("line"));
    const QTextBlock block = form.reMessages->document()->findBlockByNumber(1);
    for (int position = block.position(); position < block.position() + block.length() - 1;
         ++position) {
        const QTextCharFormat format = formatAt(form, position);
        QCOMPARE(format.hasProperty(QTextFormat::ForegroundBrush), colour.isValid());
        if (colour.isValid())
            QCOMPARE(format.foreground().color(), colour);
        QCOMPARE(format.fontWeight() >= QFont::Bold, bold);
    }
    // The line before keeps the base format; so does the paragraph mark after the text.
    QVERIFY(!formatAt(form, 0).hasProperty(QTextFormat::ForegroundBrush));
    QCOMPARE(block.charFormat().fontWeight(), int(QFont::Normal));
    QVERIFY(!block.charFormat().hasProperty(QTextFormat::ForegroundBrush));
}

void TestJournal::plainLineAfterErrorLineIsPlain()
{
    TForm1 form;
    form.addErrorMessage(QStringLiteral("broken"));
    form.addMessage(QStringLiteral("plain"));
    const QTextBlock block = form.reMessages->document()->findBlockByNumber(1);
    for (int position = block.position(); position < block.position() + block.length() - 1;
         ++position) {
        QVERIFY(!formatAt(form, position).hasProperty(QTextFormat::ForegroundBrush));
        QCOMPARE(formatAt(form, position).fontWeight(), int(QFont::Normal));
    }
}

void TestJournal::messageWithLineBreaksStaysOneParagraph()
{
    TForm1 form;
    form.addWarningMessage(QStringLiteral("one\r\ntwo\nthree\r\n"));
    form.addMessage(QStringLiteral("next"));
    QTextDocument *document = form.reMessages->document();
    QCOMPARE(document->blockCount(), 2);
    const QString first = textOfLine(form, 0);
    QCOMPARE(first, QStringLiteral("1. d t one\u2028two\u2028three"));
    QCOMPARE(document->findBlockByNumber(1).position(), first.size() + 1);
    QCOMPARE(textOfLine(form, 1), QStringLiteral("2. d t next"));
    QCOMPARE(form.shift, first.size() + 1 + textOfLine(form, 1).size() + 1);
    // The whole warning line is coloured, nothing of the next one.
    QCOMPARE(formatAt(form, first.size() - 1).foreground().color(), QColor(0, 0, 255));
    QVERIFY(!formatAt(form, first.size() + 1).hasProperty(QTextFormat::ForegroundBrush));
}

void TestJournal::markupIsShownAsText()
{
    TForm1 form;
    const QString markup = QStringLiteral("<b>x</b> <img src=\"file:///etc/passwd\"> &amp;");
    form.addMessage(markup);
    QCOMPARE(textOfLine(form, 0), "1. d t " + markup);
    QVERIFY(!formatAt(form, 9).isImageFormat());
    QCOMPARE(formatAt(form, 9).fontWeight(), int(QFont::Normal));
}

void TestJournal::resetStartsAgainAtOneAndPositionZero()
{
    TForm1 form;
    form.addOkMessage(QStringLiteral("a"));
    form.addErrorMessage(QStringLiteral("b"));
    form.resetJournal();
    QCOMPARE(form.num, 0);
    QCOMPARE(form.shift, 0);
    QVERIFY(form.reMessages->document()->isEmpty());

    form.addMessage(QStringLiteral("again"));
    QCOMPARE(textOfLine(form, 0), QStringLiteral("1. d t again"));
    QCOMPARE(form.reMessages->textCursor().selectionStart(), 0);
    QCOMPARE(form.reMessages->document()->blockCount(), 1);
    QVERIFY(!formatAt(form, 0).hasProperty(QTextFormat::ForegroundBrush));
}

void TestJournal::failedPlainAppendColoursNothing()
{
    TForm1 form;
    form.addMessage(QStringLiteral("innocent"));
    TForm1::setJournalStampForTesting(
        []() -> std::pair<QString, QString> { throw Exception(QStringLiteral("clock broken")); });
    form.addErrorMessage(QStringLiteral("lost"));
    TForm1::setJournalStampForTesting(fixedStamp);

    QCOMPARE(form.num, 2); // the failed line used up its number
    QCOMPARE(form.reMessages->document()->blockCount(), 1);
    QVERIFY(!formatAt(form, 0).hasProperty(QTextFormat::ForegroundBrush));
    QCOMPARE(formatAt(form, 0).fontWeight(), int(QFont::Normal));

    // The failure went to the log under the plain append's place.
    const QString log = logText(m_logs.path());
    QVERIFY2(log.contains(QStringLiteral("TForm1.addMessage: ")), qPrintable(log));
    QVERIFY(log.contains(QStringLiteral("clock broken")));

    form.addMessage(QStringLiteral("after"));
    QCOMPARE(textOfLine(form, 1), QStringLiteral("3. d t after"));
}

void TestJournal::viewScrollsToTheNewestLine()
{
    TForm1 form;
    form.show();
    for (int i = 0; i < 200; ++i)
        form.addMessage(QStringLiteral("line %1").arg(i));
    QScrollBar *bar = form.reMessages->verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());

    bar->setValue(0); // the user scrolls up; the next line brings the view back
    form.addOkMessage(QStringLiteral("newest"));
    QCOMPARE(bar->value(), bar->maximum());
}

namespace
{

struct ShownCharacter {
    QChar character;
    QColor colour; // invalid: the base colour
    bool bold;
    bool operator==(const ShownCharacter &) const = default;
};

// Every character of the view (paragraph marks included) with its colour and weight.
QList<ShownCharacter> shownCharacters(const TForm1 &form)
{
    QList<ShownCharacter> shown;
    const QTextDocument *document = form.reMessages->document();
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        const QString text = block.text() + QChar::ParagraphSeparator;
        for (int i = 0; i < text.size(); ++i) {
            const QTextCharFormat format
                = i + 1 < text.size() ? formatAt(form, block.position() + i) : block.charFormat();
            shown << ShownCharacter{text.at(i),
                format.hasProperty(QTextFormat::ForegroundBrush) ? format.foreground().color()
                                                                 : QColor(),
                format.fontWeight() >= QFont::Bold};
        }
    }
    return shown;
}

const QStringList awkwardMessages{QStringLiteral("plain"), QStringLiteral("ok line"),
    QStringLiteral("warning"), QStringLiteral("error"), QString(), QStringLiteral("a\r\nb\nc"),
    QStringLiteral("<b>markup</b>"), QStringLiteral("trailing \r\n"), QStringLiteral("   leading"),
    QStringLiteral("кириллица \u2029 и разрыв")};

} // namespace

void TestJournal::batchShowsWhatLinesAddedOneByOneShow()
{
    TForm1 oneByOne;
    TForm1 batched;
    oneByOne.addMessage(QStringLiteral("before"));
    batched.addMessage(QStringLiteral("before"));
    batched.beginBatch();
    for (int i = 0; i < awkwardMessages.size(); ++i) {
        oneByOne.addLine(JournalKind(i % 4), awkwardMessages.at(i));
        batched.addLine(JournalKind(i % 4), awkwardMessages.at(i));
    }
    batched.endBatch();
    oneByOne.addErrorMessage(QStringLiteral("after"));
    batched.addErrorMessage(QStringLiteral("after"));

    QCOMPARE(batched.reMessages->toPlainText(), oneByOne.reMessages->toPlainText());
    QCOMPARE(shownCharacters(batched), shownCharacters(oneByOne));
    QCOMPARE(batched.num, oneByOne.num);
    QCOMPARE(batched.shift, oneByOne.shift);
    QCOMPARE(batched.reMessages->textCursor().selectionStart(),
        oneByOne.reMessages->textCursor().selectionStart());
    QCOMPARE(batched.reMessages->textCursor().selectedText(), QStringLiteral("12. d t after"));
}

void TestJournal::batchSelectsAndScrollsOnceAtItsOuterEnd()
{
    TForm1 form;
    form.show();
    form.addMessage(QStringLiteral("first"));
    QScrollBar *bar = form.reMessages->verticalScrollBar();
    form.beginBatch();
    form.beginBatch();
    for (int i = 0; i < 200; ++i)
        form.addLine(JournalKind(i % 4), QStringLiteral("line %1").arg(i));
    form.endBatch();
    // Still inside the outer batch: nothing selected, nothing laid out or scrolled yet.
    QVERIFY(!form.reMessages->textCursor().hasSelection());
    QCOMPARE(bar->maximum(), 0);
    form.addOkMessage(QStringLiteral("last"));
    form.endBatch();

    QCOMPARE(form.reMessages->textCursor().selectedText(), QStringLiteral("202. d t last"));
    QCOMPARE(form.reMessages->textCursor().selectionStart(),
        form.reMessages->document()->lastBlock().position());
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());
    QCOMPARE(form.shift, form.reMessages->document()->characterCount());
}

void TestJournal::selectionWithinTheView_data()
{
    QTest::addColumn<int>("viewLength");
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("selected");
    QTest::newRow("inside") << 20 << 5 << 10 << 5 << 10;
    QTest::newRow("ends on the last position") << 20 << 5 << 14 << 5 << 14;
    QTest::newRow("end one past the view: stays at the start") << 20 << 5 << 15 << 5 << 0;
    QTest::newRow("start one past the view: from position 0") << 20 << 20 << 0 << 0 << 0;
    QTest::newRow("start past, end inside: from position 0") << 20 << 25 << -10 << 0 << 15;
    QTest::newRow("negative start") << 20 << -1 << 5 << 0 << 4;
}

void TestJournal::selectionWithinTheView()
{
    QFETCH(int, viewLength);
    QFETCH(int, from);
    QFETCH(int, length);
    QFETCH(int, start);
    QFETCH(int, selected);
    // What the view's own cursor does with the same positions.
    QTextDocument document;
    QTextCursor(&document).insertText(QString(viewLength - 1, u'x'));
    QCOMPARE(document.characterCount(), viewLength);
    QTextCursor cursor(&document);
    // The cursor warns of a position out of range, which is what some rows are about.
    const QtMessageHandler previous = qInstallMessageHandler(nullptr);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    cursor.setPosition(from);
    cursor.setPosition(from + length, QTextCursor::KeepAnchor);
    qInstallMessageHandler(previous);
    const JournalViewWriter::Selection expected{
        cursor.selectionStart(), cursor.selectionEnd() - cursor.selectionStart()};
    QCOMPARE(expected, (JournalViewWriter::Selection{start, selected}));
    QCOMPARE(JournalViewWriter::selectionWithin(viewLength, from, length), expected);
}

void TestJournal::appendsFromAWorkerKeepTheirOrder()
{
    constexpr int count = 300;
    TForm1 form;
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        for (int i = 0; i < count; ++i)
            form.addLine(JournalKind(i % 4), QString::number(i));
        finished = true;
    });
    // The main thread appends too, in between; each append stays whole.
    for (int i = 0; i < 20; ++i) {
        form.addMessage(QStringLiteral("ui"));
        QCoreApplication::processEvents();
    }
    QTRY_VERIFY_WITH_TIMEOUT(finished.load(), 20000);
    worker.join();

    QTextDocument *document = form.reMessages->document();
    QTRY_COMPARE(document->blockCount(), count + 20); // the last appends may still be queued
    int expected = 0;
    int number = 0;
    int position = 0;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        ++number;
        QVERIFY(block.text().startsWith(QString::number(number) + QStringLiteral(". d t ")));
        QCOMPARE(block.position(), position);
        position = nextLineStart(position, block.length() - 1);
        const QString message = block.text().mid(block.text().lastIndexOf(u' ') + 1);
        if (message == QStringLiteral("ui"))
            continue;
        QCOMPARE(message, QString::number(expected));
        const bool coloured = expected % 4 != 0;
        QCOMPARE(
            QTextCursor(block).block().begin().fragment().charFormat().fontWeight() >= QFont::Bold,
            coloured);
        ++expected;
    }
    QCOMPARE(expected, count);
    QCOMPARE(form.shift, position);
}

void TestJournal::appendsFromAWorkerAfterCloseReturnAtOnce()
{
    TForm1 form;
    form.show();
    form.close();
    QVERIFY(form.isClosing());
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        UploadRun &run = form.uploadRun();
        form.addMessage(QStringLiteral("too late"));
        run.jobLine(UploadJobHost::LineKind::Error, QStringLiteral("too late"));
        run.setUploadButtonEnabled(false);
        run.setPollTimerActive(true);
        run.startCompletionTimer();
        run.setProcess(true);
        run.setSessionId(QStringLiteral("s"));
        run.runFinalFetch();
        (void)run.drawTilesSuppressed();
        finished = true;
    });
    // The UI thread does not serve the worker here: each call must return by itself.
    QElapsedTimer clock;
    clock.start();
    while (!finished && clock.elapsed() < 5000)
        QThread::msleep(5);
    worker.join();
    QVERIFY(finished.load());
    QCoreApplication::processEvents();
    QVERIFY(form.reMessages->document()->isEmpty());
    QVERIFY(form.Button1->isEnabled());
    QVERIFY(!form.Timer1->isActive());
    QVERIFY(!form.Timer2->isActive());
    QVERIFY(!form.process.load());
}

QTEST_MAIN(TestJournal)
#include "tst_journal.moc"
