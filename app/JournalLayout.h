// The journal view's document layout: the toolkit's own rules for a document of plain
// paragraphs (the journal has no frames, tables, lists or floats), giving the same lines
// at the same places, with two differences. A paragraph with a long run of text that
// offers no place to break is wrapped in time linear in its length (the toolkit's word
// wrap looks for the run's end anew on every line, which takes minutes for a megabyte).
// And after a change of the width, a long document is laid out anew in slices between
// the window's events, the paragraphs in sight first.
#pragma once

#include <QAbstractTextDocumentLayout>
#include <QBasicTimer>
#include <QList>
#include <QTextBlock>

class QTextLayout;

class JournalLayout : public QAbstractTextDocumentLayout
{
    Q_OBJECT

public:
    // Replaces the document's layout, keeping the paint device of the one before.
    static JournalLayout *install(QTextDocument *document);
    explicit JournalLayout(QTextDocument *document);

    void draw(QPainter *painter, const PaintContext &context) override;
    int hitTest(const QPointF &point, Qt::HitTestAccuracy accuracy) const override;
    int pageCount() const override;
    QSizeF documentSize() const override;
    QRectF frameBoundingRect(QTextFrame *frame) const override;
    QRectF blockBoundingRect(const QTextBlock &block) const override;

    // Whether paragraphs wait to be laid out anew (after a change of the width).
    bool layoutPending() const { return m_pending > 0; }

    // Lays out the lines of `layout` (its text option set, lines not yet made) at `width`,
    // as the toolkit's WrapAtWordBoundaryOrAnywhere does; the line positions are left to
    // the caller. A run longer than longRun without a place to break is wrapped anywhere
    // where the toolkit would end up doing so.
    static constexpr int longRun = 1000;
    static void wrapLines(QTextLayout &layout, const QString &text, qreal width);

protected:
    void documentChanged(int from, int charsRemoved, int charsAdded) override;
    void timerEvent(QTimerEvent *event) override;

private:
    struct Paragraph {
        qreal height = 0;
        qreal right = 0;   // where its widest line ends
        bool stale = true; // laid out for another width, or never
    };

    bool canLayOut() const;
    qreal lineWidth() const;
    void layOut(const QTextBlock &block) const;
    void placeFrom(int number) const;
    int blockAt(qreal y) const;
    void layOutInSight(qreal top, qreal bottom) const;
    bool layOutSlice();
    void reportChanges(int fromNumber);

    QRectF frameRect() const;

    mutable QList<Paragraph> m_paragraphs;
    mutable QList<qreal> m_tops;    // of each paragraph, in the document
    mutable int m_pending = 0;      // stale paragraphs
    mutable int m_scanFrom = 0;     // no stale paragraph before it
    mutable int m_changedFrom = -1; // laid out on demand, not yet reported
    mutable qreal m_widest = 0;     // the greatest right, unless m_widestStale
    mutable bool m_widestStale = false;
    mutable QBasicTimer m_slices;
    qreal m_laidOutWidth = -1;
    QSizeF m_reportedSize;
};
