#include "app/JournalLayout.h"

#include "app/main.h"
#include "support/Watchdog.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextLayout>
#include <QTimer>

namespace
{

QFont journalFont()
{
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(11);
    return font;
}

// Paragraphs of every shape the journal may hold: numbered lines, wrapped words, runs
// without a place to break (before, between and after words), blanks, in-paragraph
// breaks, right-to-left text, tabs, combining marks, ideographs, hyphens and an empty one.
QStringList awkwardParagraphs()
{
    const QString run(3000, u'x');
    QStringList paragraphs;
    for (int i = 1; i <= 20; ++i)
        paragraphs << QStringLiteral("%1. 01.02.2024 14:03:07 Строка %1 реестра обработана").arg(i);
    paragraphs << QStringLiteral("слово ").repeated(300)
               << QStringLiteral("21. d t ") + QString(5000, u'ж')
               << run + QStringLiteral(" words after the run ") + QString(2500, u'y')
               << QStringLiteral("some words ") + run + QStringLiteral(" more")
               << QString(2000, u' ') + QStringLiteral("after blanks") << QString()
               << run + QChar::LineSeparator + run
               << QStringLiteral("a") + QChar::LineSeparator + QChar::LineSeparator + "b"
               << QStringLiteral("e\u0301").repeated(1500) << QStringLiteral("ab-").repeated(800)
               << QString(1500, QChar(0x4E2D))
               << QStringLiteral("http://a/b/c/d.e?f=g&h").repeated(120)
               << QString(1500, u'x') + u'\t' + run
               << QStringLiteral("שלום עולם ").repeated(60) + QStringLiteral("hello");
    return paragraphs;
}

// Both documents get the same text, kinds in turn, and their own layout.
void fill(QTextDocument &document, const QStringList &paragraphs)
{
    document.setUndoRedoEnabled(false);
    document.setDefaultFont(journalFont());
    QTextCursor cursor(&document);
    for (int i = 0; i < paragraphs.size(); ++i) {
        if (i > 0)
            cursor.insertBlock();
        QTextCharFormat format;
        if (i % 4) {
            format.setForeground(QColor::fromRgb(i % 4 == 1 ? okLineRgb : errorLineRgb));
            format.setFontWeight(QFont::Bold);
        }
        cursor.insertText(paragraphs.at(i), format);
    }
}

struct Pair {
    QTextDocument toolkit;
    QTextDocument journal;
    explicit Pair(const QStringList &paragraphs)
    {
        toolkit.documentLayout(); // made before the text, as in a view
        JournalLayout::install(&journal);
        fill(toolkit, paragraphs);
        fill(journal, paragraphs);
    }
    void setWidth(qreal width)
    {
        toolkit.setPageSize(QSizeF(width, -1));
        journal.setPageSize(QSizeF(width, -1));
        toolkit.documentLayout()->documentSize(); // the toolkit's layout finished
        auto *layout = static_cast<JournalLayout *>(journal.documentLayout());
        QTRY_VERIFY_WITH_TIMEOUT(!layout->layoutPending(), 60000);
    }
};

// Every paragraph's place and every line's text, place and size, as a comparable text.
QStringList geometry(QTextDocument &document)
{
    QStringList lines;
    QAbstractTextDocumentLayout *layout = document.documentLayout();
    const QSizeF size = layout->documentSize();
    lines << QStringLiteral("document %1 x %2").arg(size.width()).arg(size.height());
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        const QRectF rect = layout->blockBoundingRect(block);
        lines << QStringLiteral("paragraph %1 at %2,%3 %4 x %5")
                     .arg(block.blockNumber())
                     .arg(rect.x())
                     .arg(rect.y())
                     .arg(rect.width())
                     .arg(rect.height());
        const QTextLayout *text = block.layout();
        for (int i = 0; i < text->lineCount(); ++i) {
            const QTextLine line = text->lineAt(i);
            lines << QStringLiteral("  %1+%2 at %3,%4 %5 x %6 (%7)")
                         .arg(line.textStart())
                         .arg(line.textLength())
                         .arg(line.x())
                         .arg(line.y())
                         .arg(line.width())
                         .arg(line.height())
                         .arg(line.naturalTextWidth());
        }
    }
    return lines;
}

// The first difference only: the lists are long.
void compareGeometry(QTextDocument &journal, QTextDocument &toolkit)
{
    const QStringList ours = geometry(journal);
    const QStringList theirs = geometry(toolkit);
    for (int i = 0; i < qMin(ours.size(), theirs.size()); ++i)
        QCOMPARE(ours.at(i), theirs.at(i));
    QCOMPARE(ours.size(), theirs.size());
}

QImage render(QTextDocument &document, const QSize &size, const QTextCursor &selected)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    QPainter painter(&image);
    QAbstractTextDocumentLayout::PaintContext context;
    context.clip = QRectF(QPointF(0, 0), size);
    QAbstractTextDocumentLayout::Selection selection;
    selection.cursor = QTextCursor(&document);
    selection.cursor.setPosition(selected.selectionStart());
    selection.cursor.setPosition(selected.selectionEnd(), QTextCursor::KeepAnchor);
    selection.format.setBackground(Qt::darkBlue);
    selection.format.setForeground(Qt::white);
    context.selections << selection;
    document.documentLayout()->draw(&painter, context);
    return image;
}

} // namespace

class TestJournalLayout : public QObject
{
    Q_OBJECT

private slots:
    void sameLinesAsTheToolkit_data();
    void sameLinesAsTheToolkit();
    void sameLinesAfterLinesAreAdded();
    void sameHitsAsTheToolkit();
    void drawsAsTheToolkit();
    void aLongDocumentInAnotherWidthIsLaidOutBetweenEvents();
    void anUnbrokenRunOfTwoMegabytesIsLaidOut();
    void viewLooksAsWithTheToolkitsLayout();
};

void TestJournalLayout::sameLinesAsTheToolkit_data()
{
    QTest::addColumn<qreal>("width");
    QTest::newRow("the window's width") << 986.0;
    QTest::newRow("narrow") << 200.0;
    QTest::newRow("narrower than a word") << 37.0;
    QTest::newRow("no room at all") << 5.0;
    QTest::newRow("not wrapped (a negative width)") << -1.0;
}

void TestJournalLayout::sameLinesAsTheToolkit()
{
    QFETCH(qreal, width);
    Pair pair(awkwardParagraphs());
    pair.setWidth(width);
    compareGeometry(pair.journal, pair.toolkit);
}

void TestJournalLayout::sameLinesAfterLinesAreAdded()
{
    Pair pair({QStringLiteral("first")});
    pair.setWidth(300);
    for (auto *document : {&pair.toolkit, &pair.journal}) {
        QTextCursor cursor(document);
        for (const QString &paragraph : awkwardParagraphs().mid(18, 8)) {
            cursor.movePosition(QTextCursor::End);
            cursor.insertBlock();
            cursor.insertText(paragraph);
        }
        cursor.beginEditBlock();
        cursor.insertBlock();
        cursor.insertText(QStringLiteral("one edit, two lines"));
        cursor.insertBlock();
        cursor.insertText(QStringLiteral("the second"));
        cursor.endEditBlock();
    }
    compareGeometry(pair.journal, pair.toolkit);
    for (auto *document : {&pair.toolkit, &pair.journal})
        document->clear();
    compareGeometry(pair.journal, pair.toolkit);
}

void TestJournalLayout::sameHitsAsTheToolkit()
{
    Pair pair(awkwardParagraphs().mid(15, 9));
    pair.setWidth(300);
    const QSizeF size = pair.toolkit.documentLayout()->documentSize();
    QCOMPARE(pair.journal.documentLayout()->documentSize(), size);
    int compared = 0;
    for (qreal y = -6; y < size.height() + 6; y += 2.5)
        for (qreal x = -6; x < size.width() + 6; x += 11.3) {
            for (const Qt::HitTestAccuracy accuracy : {Qt::FuzzyHit, Qt::ExactHit}) {
                const int ours = pair.journal.documentLayout()->hitTest(QPointF(x, y), accuracy);
                const int theirs = pair.toolkit.documentLayout()->hitTest(QPointF(x, y), accuracy);
                if (ours != theirs)
                    QFAIL(qPrintable(QStringLiteral("%1 hit at %2,%3: %4, the toolkit %5")
                                         .arg(accuracy == Qt::FuzzyHit ? "fuzzy" : "exact")
                                         .arg(x)
                                         .arg(y)
                                         .arg(ours)
                                         .arg(theirs)));
                ++compared;
            }
        }
    QVERIFY(compared > 1000);
}

void TestJournalLayout::drawsAsTheToolkit()
{
    QStringList paragraphs = awkwardParagraphs().mid(0, 4);
    paragraphs << awkwardParagraphs().at(20).left(400) << QString() << QStringLiteral("שלום עולם");
    Pair pair(paragraphs);
    pair.setWidth(260);
    QTextCursor selected(&pair.toolkit);
    selected.setPosition(30);
    selected.setPosition(
        pair.toolkit.findBlockByNumber(4).position() + 50, QTextCursor::KeepAnchor);
    const QSize size = pair.toolkit.documentLayout()->documentSize().toSize();
    const QImage theirs = render(pair.toolkit, size, selected);
    const QImage ours = render(pair.journal, size, selected);
    QVERIFY(theirs != QImage(size, theirs.format())); // something was drawn
    QCOMPARE(ours, theirs);
}

void TestJournalLayout::aLongDocumentInAnotherWidthIsLaidOutBetweenEvents()
{
    const Watchdog watchdog(300, "laying out a long document anew");
    QStringList paragraphs;
    for (int i = 0; i < 20000; ++i)
        paragraphs << QStringLiteral("%1. 01.02.2024 14:03:07 Строка %1 реестра обработана: объект "
                                     "добавлен, его координаты проверены")
                          .arg(i);
    Pair pair(paragraphs);
    pair.setWidth(986);
    auto *layout = static_cast<JournalLayout *>(pair.journal.documentLayout());
    int handledMeanwhile = 0;
    QTimer probe;
    connect(&probe, &QTimer::timeout, [&] { handledMeanwhile += layout->layoutPending() ? 1 : 0; });
    probe.start(0);
    pair.journal.setPageSize(QSizeF(300, -1));
    QVERIFY(layout->layoutPending());
    // What a view shows is laid out when asked, before the rest.
    const QTextBlock lastBlock = pair.journal.lastBlock();
    QVERIFY(layout->blockBoundingRect(lastBlock).height() > 13);
    QVERIFY(lastBlock.layout()->lineCount() > 1);
    QTRY_VERIFY_WITH_TIMEOUT(!layout->layoutPending(), 240000);
    probe.stop();
    QVERIFY(handledMeanwhile > 0);

    pair.toolkit.setPageSize(QSizeF(300, -1));
    compareGeometry(pair.journal, pair.toolkit);
}

void TestJournalLayout::anUnbrokenRunOfTwoMegabytesIsLaidOut()
{
    // The toolkit's word wrap takes minutes for this; the journal's layout a second.
    const Watchdog watchdog(120, "laying out an unbroken run of 2 MiB");
    QTextDocument document;
    JournalLayout::install(&document);
    fill(document, {QStringLiteral("1. d t ") + QString(2 << 20, u'ж')});
    document.setPageSize(QSizeF(986, -1));
    const QTextLayout *layout = document.firstBlock().layout();
    QVERIFY(layout->lineCount() > 1000);
    // The number, date and time on the first line; the run broken anywhere after it,
    // every line but the last as full as the one before.
    QCOMPARE(layout->lineAt(0).textLength(), 7);
    for (int i = 2; i < layout->lineCount() - 1; ++i)
        QCOMPARE(layout->lineAt(i).textLength(), layout->lineAt(1).textLength());
}

void TestJournalLayout::viewLooksAsWithTheToolkitsLayout()
{
    TForm1 form;
    form.show();
    for (const QString &paragraph : awkwardParagraphs().mid(0, 24))
        form.addLine(JournalKind(paragraph.size() % 4), paragraph.left(700));
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTextEdit plain;
    plain.setReadOnly(true);
    plain.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    plain.setFont(form.reMessages->font());
    plain.setPalette(form.reMessages->palette());
    plain.setDocument(form.reMessages->document()->clone(&plain));
    plain.resize(form.reMessages->size());
    plain.show();
    QVERIFY(QTest::qWaitForWindowExposed(&plain));
    for (const int value : {0, 300, form.reMessages->verticalScrollBar()->maximum()}) {
        form.reMessages->verticalScrollBar()->setValue(value);
        plain.verticalScrollBar()->setValue(value);
        QCOMPARE(
            plain.verticalScrollBar()->maximum(), form.reMessages->verticalScrollBar()->maximum());
        QCOMPARE(form.reMessages->viewport()->grab().toImage(), plain.viewport()->grab().toImage());
    }
}

QTEST_MAIN(TestJournalLayout)
#include "tst_journallayout.moc"
