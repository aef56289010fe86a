#include "app/JournalLayout.h"

#include <QElapsedTimer>
#include <QFontMetricsF>
#include <QPainter>
#include <QStyle>
#include <QTextBoundaryFinder>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextLayout>
#include <QTimerEvent>

#include <algorithm>
#include <utility>

namespace
{

// A background slice of laying out anew ends after about this many milliseconds.
constexpr int sliceMs = 15;

enum HitPoint { PointBefore, PointAfter, PointInside, PointExact };

// The longest run of text between two blanks.
int longestUnblankedRun(const QString &text)
{
    int longest = 0;
    int run = 0;
    for (const QChar c : text) {
        run = c.isSpace() ? 0 : run + 1;
        longest = qMax(longest, run);
    }
    return longest;
}

// Where the toolkit's word wrap may end a word: before a blank or at a line break
// opportunity (and at the end). Sets `longest` to the longest word.
QList<int> wordEnds(const QString &text, int &longest)
{
    QList<int> ends;
    QTextBoundaryFinder breaks(QTextBoundaryFinder::Line, text);
    qsizetype next = breaks.toNextBoundary();
    int previous = 0;
    longest = 0;
    for (int i = 1; i <= text.size(); ++i) {
        while (next >= 0 && next < i)
            next = breaks.toNextBoundary();
        if (i == text.size() || text.at(i).isSpace() || next == i) {
            ends << i;
            longest = qMax(longest, i - previous);
            previous = i;
        }
    }
    return ends;
}

// The toolkit's hit test of one paragraph, with the point in document coordinates.
HitPoint hitParagraph(
    const QTextBlock &block, const QPointF &point, int &position, Qt::HitTestAccuracy accuracy)
{
    const QTextLayout *layout = block.layout();
    const QRectF rect = layout->boundingRect().translated(layout->position());
    position = block.position();
    if (point.y() < rect.top() - block.blockFormat().topMargin())
        return PointBefore;
    if (point.y() > rect.bottom()) {
        position += block.length();
        return PointAfter;
    }
    const QPointF inside = point - layout->position();
    HitPoint hit = PointInside;
    int offset = 0;
    for (int i = 0; i < layout->lineCount(); ++i) {
        const QTextLine line = layout->lineAt(i);
        const QRectF lineRect = line.naturalTextRect();
        if (lineRect.top() > inside.y()) {
            offset = qMin(offset, line.textStart());
        } else if (lineRect.bottom() <= inside.y()) {
            offset = qMax(offset, line.textStart() + line.textLength());
        } else {
            if (lineRect.left() <= inside.x() && lineRect.right() >= inside.x())
                hit = PointExact;
            offset = line.xToCursor(inside.x(),
                accuracy == Qt::ExactHit ? QTextLine::CursorOnCharacter
                                         : QTextLine::CursorBetweenCharacters);
            break;
        }
    }
    position += offset;
    return hit;
}

} // namespace

JournalLayout *JournalLayout::install(QTextDocument *document)
{
    auto *layout = new JournalLayout(document);
    layout->setPaintDevice(document->documentLayout()->paintDevice());
    document->setDocumentLayout(layout);
    return layout;
}

JournalLayout::JournalLayout(QTextDocument *document)
    : QAbstractTextDocumentLayout(document)
{
}

void JournalLayout::wrapLines(QTextLayout &layout, const QString &text, qreal width)
{
    QTextOption option = layout.textOption();
    const bool wordOrAnywhere = option.wrapMode() == QTextOption::WrapAtWordBoundaryOrAnywhere;
    QList<int> ends;
    int longest = 0;
    // The toolkit lays out a line word by word; when the first word does not fit, it
    // starts again breaking anywhere. Finding the end of a word runs to the end of the
    // run, for every line of it: breaking anywhere at once where the first word is
    // longer than the line gives the same lines in linear time.
    const bool longRuns = wordOrAnywhere && text.size() > longRun
        && longestUnblankedRun(text) > longRun
        && (ends = wordEnds(text, longest), longest > longRun);
    QTextOption anywhere = option;
    anywhere.setWrapMode(QTextOption::WrapAnywhere);
    qsizetype nextEnd = 0;
    qreal y = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLeadingIncluded(true);
        if (longRuns && option.wrapMode() == QTextOption::WrapAtWordBoundaryOrAnywhere) {
            const int from = line.textStart();
            int wordStart = from;
            while (wordStart < text.size() && text.at(wordStart).isSpace())
                ++wordStart;
            while (nextEnd < ends.size() && ends.at(nextEnd) <= wordStart)
                ++nextEnd;
            const int wordEnd = nextEnd < ends.size() ? ends.at(nextEnd) : int(text.size());
            layout.setTextOption(anywhere);
            line.setLineWidth(width);
            // One position to spare: a word as long as what fits anywhere may yet fit.
            if (wordEnd - from <= line.textLength() + 1) {
                layout.setTextOption(option);
                line.setLineWidth(width);
            }
        } else {
            line.setLineWidth(width);
        }
        // Where not even a character fits the width, the toolkit gives the line the width
        // of its text broken anywhere, and lays out the rest of the paragraph whole words.
        if (line.naturalTextWidth() > width) {
            const qreal natural = line.naturalTextWidth();
            if (wordOrAnywhere) {
                option.setWrapMode(QTextOption::WrapAnywhere);
                layout.setTextOption(option);
            }
            line.setLineWidth(qMax(natural, width));
            if (wordOrAnywhere) {
                option.setWrapMode(QTextOption::WordWrap);
                layout.setTextOption(option);
            }
        }
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
}

bool JournalLayout::canLayOut() const
{
    // As the toolkit's layout: nothing is laid out before the view has given a size.
    return !document()->pageSize().isNull();
}

qreal JournalLayout::lineWidth() const
{
    // Negative where the page is narrower than its margins, or where it does not wrap.
    return document()->pageSize().width() - 2 * document()->documentMargin();
}

void JournalLayout::layOut(const QTextBlock &block) const
{
    QTextLayout *layout = block.layout();
    const QTextDocument *doc = document();
    const QTextBlockFormat format = block.blockFormat();
    QTextOption option = doc->defaultTextOption();
    const Qt::LayoutDirection direction = block.textDirection();
    option.setTextDirection(direction);
    option.setTabs(format.tabPositions());
    Qt::Alignment alignment = doc->defaultTextOption().alignment();
    if (format.hasProperty(QTextFormat::BlockAlignment))
        alignment = format.alignment();
    option.setAlignment(QStyle::visualAlignment(direction, alignment));
    if (format.nonBreakableLines() || doc->pageSize().width() < 0)
        option.setWrapMode(QTextOption::ManualWrap);
    layout->setTextOption(option);

    layout->beginLayout();
    wrapLines(*layout, block.text(), lineWidth());
    layout->endLayout();

    qreal height = 0;
    qreal right = 0;
    for (int i = 0; i < layout->lineCount(); ++i) {
        const QTextLine line = layout->lineAt(i);
        height += line.height();
        right = qMax(right, line.x() + line.naturalTextWidth());
    }
    Paragraph &paragraph = m_paragraphs[block.blockNumber()];
    paragraph.height = height;
    if (right >= m_widest)
        m_widest = right;
    else if (paragraph.right >= m_widest)
        m_widestStale = true;
    paragraph.right = right;
    if (paragraph.stale) {
        paragraph.stale = false;
        --m_pending;
    }
}

void JournalLayout::placeFrom(int number) const
{
    if (number < 0 || number >= m_paragraphs.size())
        return;
    const qreal margin = document()->documentMargin();
    m_tops.resize(m_paragraphs.size());
    qreal top = number == 0 ? margin : m_tops.at(number - 1) + m_paragraphs.at(number - 1).height;
    QTextBlock block = document()->findBlockByNumber(number);
    for (int n = number; n < m_paragraphs.size() && block.isValid(); ++n, block = block.next()) {
        m_tops[n] = top;
        block.layout()->setPosition(QPointF(margin, top));
        top += m_paragraphs.at(n).height;
    }
}

int JournalLayout::blockAt(qreal y) const
{
    const auto after = std::upper_bound(m_tops.cbegin(), m_tops.cend(), y);
    return qMax(0, int(after - m_tops.cbegin()) - 1);
}

void JournalLayout::layOutInSight(qreal top, qreal bottom) const
{
    // Laying out what is in sight moves what follows: a few rounds settle it.
    for (int round = 0; round < 4 && m_pending > 0; ++round) {
        const int first = blockAt(top);
        const int last = blockAt(bottom);
        int changed = -1;
        QTextBlock block = document()->findBlockByNumber(first);
        for (int n = first; n <= last && block.isValid(); ++n, block = block.next())
            if (m_paragraphs.at(n).stale) {
                layOut(block);
                if (changed < 0)
                    changed = n;
            }
        if (changed < 0)
            return;
        placeFrom(changed);
        m_changedFrom = m_changedFrom < 0 ? changed : qMin(m_changedFrom, changed);
        // Reported, and the rest laid out, after the event that asked.
        m_slices.start(0, const_cast<JournalLayout *>(this));
    }
}

bool JournalLayout::layOutSlice()
{
    QElapsedTimer clock;
    clock.start();
    int changed = -1;
    QTextBlock block = document()->findBlockByNumber(m_scanFrom);
    for (; block.isValid() && m_pending > 0; block = block.next(), ++m_scanFrom) {
        if (!m_paragraphs.at(m_scanFrom).stale)
            continue;
        layOut(block);
        if (changed < 0)
            changed = m_scanFrom;
        if (clock.elapsed() >= sliceMs) {
            ++m_scanFrom;
            break;
        }
    }
    if (!block.isValid() && m_pending > 0) {
        // Stale paragraphs before the scan's start: count them again, from the first.
        m_pending = int(std::count_if(m_paragraphs.cbegin(), m_paragraphs.cend(),
            [](const Paragraph &paragraph) { return paragraph.stale; }));
        m_scanFrom = 0;
    }
    if (changed >= 0)
        placeFrom(changed);
    if (m_changedFrom >= 0)
        changed = changed < 0 ? m_changedFrom : qMin(changed, m_changedFrom);
    m_changedFrom = -1;
    reportChanges(changed);
    return m_pending > 0;
}

void JournalLayout::reportChanges(int fromNumber)
{
    const QSizeF size = documentSize();
    if (size != m_reportedSize) {
        m_reportedSize = size;
        emit documentSizeChanged(size);
    }
    if (fromNumber >= 0) {
        const qreal top = fromNumber < m_tops.size() ? m_tops.at(fromNumber) : 0;
        emit update(QRectF(0, top, qreal(INT_MAX), qMax<qreal>(0, qreal(INT_MAX) - top)));
    }
}

void JournalLayout::documentChanged(int from, int charsRemoved, int charsAdded)
{
    Q_UNUSED(charsRemoved);
    const QTextDocument *doc = document();
    const int count = doc->blockCount();
    QTextBlock first = doc->findBlock(from);
    if (!first.isValid())
        first = doc->lastBlock();
    QTextBlock last = doc->findBlock(from + charsAdded);
    if (!last.isValid())
        last = doc->lastBlock();
    const int firstNumber = first.blockNumber();
    const int changed = last.blockNumber() - firstNumber + 1;
    const int replaced = changed - (count - int(m_paragraphs.size()));

    // The paragraphs of the change are laid out anew; those around it keep what they had.
    // Until then a paragraph keeps its old height, or a new one counts one line.
    const qreal oneLine = QFontMetricsF(doc->defaultFont()).height();
    if (replaced < 0 || firstNumber + replaced > m_paragraphs.size()) {
        m_paragraphs = QList<Paragraph>(count, Paragraph{oneLine, 0, true});
        m_pending = count;
        m_widestStale = true;
    } else {
        // Paragraphs come or go after the first ones of the change (a line added: after
        // the line before it).
        const int kept = qMin(replaced, changed);
        for (int n = firstNumber + kept; n < firstNumber + replaced; ++n) {
            m_pending -= m_paragraphs.at(n).stale ? 1 : 0;
            m_widestStale = m_widestStale || m_paragraphs.at(n).right >= m_widest;
        }
        m_paragraphs.remove(firstNumber + kept, replaced - kept);
        m_paragraphs.insert(firstNumber + kept, changed - kept, Paragraph{oneLine, 0, false});
        for (int n = firstNumber; n < firstNumber + changed; ++n)
            if (!std::exchange(m_paragraphs[n].stale, true))
                ++m_pending;
    }
    m_scanFrom = qMin(m_scanFrom, firstNumber);
    if (m_changedFrom >= m_paragraphs.size())
        m_changedFrom = -1;
    m_tops.resize(m_paragraphs.size());
    if (!canLayOut())
        return;

    const qreal width = lineWidth();
    if (width != m_laidOutWidth) {
        // Every line depends on the width.
        m_laidOutWidth = width;
        for (Paragraph &paragraph : m_paragraphs)
            if (!std::exchange(paragraph.stale, true))
                ++m_pending;
        m_scanFrom = 0;
    }
    const bool whole = firstNumber == 0 && changed == count;
    if (!whole) {
        // An edit (a line added): laid out at once, as the toolkit does.
        QTextBlock block = first;
        for (int n = firstNumber; n < firstNumber + changed && block.isValid();
             ++n, block = block.next())
            layOut(block);
    }
    placeFrom(whole ? 0 : firstNumber);
    if (m_pending == 0)
        return reportChanges(firstNumber);
    // The whole document restyled or in another width: laid out anew in slices, the
    // first one now, the paragraphs in sight whenever the view paints them.
    m_changedFrom = m_changedFrom < 0 ? firstNumber : qMin(m_changedFrom, firstNumber);
    if (layOutSlice())
        m_slices.start(0, this);
}

void JournalLayout::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_slices.timerId())
        return QAbstractTextDocumentLayout::timerEvent(event);
    if (!canLayOut() || !layOutSlice())
        m_slices.stop();
}

int JournalLayout::pageCount() const
{
    return 1;
}

QSizeF JournalLayout::documentSize() const
{
    if (!canLayOut() || m_paragraphs.isEmpty() || m_tops.size() != m_paragraphs.size())
        return {};
    if (m_widestStale) {
        m_widest = 0;
        for (const Paragraph &paragraph : std::as_const(m_paragraphs))
            m_widest = qMax(m_widest, paragraph.right);
        m_widestStale = false;
    }
    // As wide as the page, or as the widest line where not even a character fits.
    const qreal margin = document()->documentMargin();
    const qreal bottom = m_tops.last() + m_paragraphs.last().height + margin;
    return {qMax(lineWidth(), m_widest) + 2 * margin, bottom};
}

QRectF JournalLayout::frameRect() const
{
    return {QPointF(0, 0), documentSize()};
}

QRectF JournalLayout::frameBoundingRect(QTextFrame *frame) const
{
    return frame == document()->rootFrame() ? frameRect() : QRectF();
}

QRectF JournalLayout::blockBoundingRect(const QTextBlock &block) const
{
    if (!canLayOut() || !block.isValid() || !block.isVisible()
        || block.blockNumber() >= m_paragraphs.size())
        return {};
    if (m_paragraphs.at(block.blockNumber()).stale) {
        layOut(block);
        placeFrom(block.blockNumber());
        m_changedFrom
            = m_changedFrom < 0 ? block.blockNumber() : qMin(m_changedFrom, block.blockNumber());
        m_slices.start(0, const_cast<JournalLayout *>(this));
    }
    const QTextLayout *layout = block.layout();
    return layout->boundingRect().translated(layout->position());
}

int JournalLayout::hitTest(const QPointF &point, Qt::HitTestAccuracy accuracy) const
{
    if (!canLayOut() || m_paragraphs.isEmpty())
        return accuracy == Qt::ExactHit ? -1 : 0;
    layOutInSight(point.y(), point.y());
    // From the paragraph before: a point on the border between two belongs to the upper.
    QTextBlock block = document()->findBlockByNumber(qMax(0, blockAt(point.y()) - 1));
    int position = block.position();
    HitPoint hit = PointBefore;
    for (; block.isValid(); block = block.next()) {
        int at = 0;
        const HitPoint here = hitParagraph(block, point, at, accuracy);
        if (here >= PointInside) {
            hit = here;
            position = at;
            break;
        }
        if (here == PointBefore && at < position) {
            position = at;
            hit = here;
        } else if (here == PointAfter && at > position) {
            position = at;
            hit = here;
        }
        if (here == PointBefore)
            break; // every later paragraph lies below the point too
    }
    if (accuracy == Qt::ExactHit && hit < PointExact)
        return -1;
    return std::clamp(position, 0, document()->rootFrame()->lastPosition());
}

void JournalLayout::draw(QPainter *painter, const PaintContext &context)
{
    if (!canLayOut() || m_paragraphs.isEmpty())
        return;
    const QRectF frame = frameRect();
    const qreal margin = document()->documentMargin();
    const QRectF frameClip = frame.adjusted(margin, 0, -margin, 0);
    const QRectF clip = context.clip.isValid() ? (context.clip & frameClip) : frameClip;
    if (context.clip.isValid()) {
        layOutInSight(context.clip.top(), context.clip.bottom());
    } else {
        while (layOutSlice()) { }
    }

    const int cursorWidth = [&] {
        bool ok = false;
        const int width = property("cursorWidth").toInt(&ok);
        return ok ? width : 1;
    }();
    const QRectF area = context.clip.isValid() ? context.clip : frame;
    for (QTextBlock block = document()->findBlockByNumber(blockAt(area.top())); block.isValid();
         block = block.next()) {
        const QTextLayout *layout = block.layout();
        const QRectF rect = layout->boundingRect().translated(layout->position());
        if (rect.top() > area.bottom())
            break;
        if (!block.isVisible() || rect.bottom() < area.top())
            continue;

        const int start = block.position();
        const int length = block.length();
        QList<QTextLayout::FormatRange> selections;
        for (const Selection &selection : context.selections) {
            const int from = selection.cursor.selectionStart() - start;
            const int to = selection.cursor.selectionEnd() - start;
            if (from < length && to > 0 && to > from) {
                selections << QTextLayout::FormatRange{from, to - from, selection.format};
            } else if (!selection.cursor.hasSelection()
                && selection.format.hasProperty(QTextFormat::FullWidthSelection)
                && block.contains(selection.cursor.position())) {
                // A whole line by a position in it, as the toolkit draws such selections.
                const QTextLine line
                    = layout->lineForTextPosition(selection.cursor.position() - start);
                QTextLayout::FormatRange range{
                    line.textStart(), line.textLength(), selection.format};
                if (range.start + range.length == length - 1)
                    ++range.length; // the paragraph mark
                selections << range;
            }
        }
        const QPen pen = painter->pen();
        painter->setPen(context.palette.color(QPalette::Text));
        layout->draw(painter, QPointF(), selections, clip);
        if (context.cursorPosition >= start && context.cursorPosition < start + length)
            layout->drawCursor(painter, QPointF(), context.cursorPosition - start, cursorWidth);
        painter->setPen(pen);
    }
}
