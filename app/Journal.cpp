#include "app/Journal.h"

#include <QColor>
#include <QTextDocument>
#include <QTextEdit>

#include <algorithm>

QString journalViewText(const QString &lineText)
{
    const auto special = [](char16_t c) {
        return c == u'\r' || c == u'\n' || c == QChar::ParagraphSeparator || c == 0xFDD0
            || c == 0xFDD1;
    };
    if (std::none_of(
            lineText.cbegin(), lineText.cend(), [&](QChar c) { return special(c.unicode()); }))
        return lineText;
    QString text;
    text.reserve(lineText.size());
    for (qsizetype i = 0; i < lineText.size(); ++i) {
        const char16_t c = lineText.at(i).unicode();
        switch (c) {
        case u'\r':
            if (i + 1 < lineText.size() && lineText.at(i + 1) == u'\n')
                ++i;
            text += QChar::LineSeparator;
            break;
        case u'\n':
        case QChar::ParagraphSeparator: text += QChar::LineSeparator; break;
        case 0xFDD0:
        case 0xFDD1: text += QChar::ReplacementCharacter; break;
        default: text += QChar(c);
        }
    }
    return text;
}

namespace
{

QTextCharFormat kindFormat(unsigned rgb)
{
    QTextCharFormat format;
    format.setForeground(QColor::fromRgb(rgb));
    format.setFontWeight(QFont::Bold);
    return format;
}

// The line's format: the view's base format, with the kind's colour and bold merged in.
const QTextCharFormat &lineFormat(JournalKind kind)
{
    static const QTextCharFormat plain;
    static const QTextCharFormat ok = kindFormat(okLineRgb);
    static const QTextCharFormat warning = kindFormat(warningLineRgb);
    static const QTextCharFormat error = kindFormat(errorLineRgb);
    switch (kind) {
    case JournalKind::Ok: return ok;
    case JournalKind::Warning: return warning;
    case JournalKind::Error: return error;
    case JournalKind::Plain: break;
    }
    return plain;
}

} // namespace

JournalViewWriter::JournalViewWriter(QTextEdit &view)
    : m_view(view)
{
}

JournalViewWriter::Selection JournalViewWriter::selectionWithin(
    int viewLength, int from, int length)
{
    const auto inside = [&](int position) { return position >= 0 && position < viewLength; };
    int anchor = 0;
    if (inside(from))
        anchor = from;
    int position = anchor;
    if (inside(from + length))
        position = from + length;
    return {qMin(anchor, position), qAbs(position - anchor)};
}

void JournalViewWriter::dropSelection()
{
    if (!m_view.textCursor().hasSelection())
        return;
    QTextCursor end(m_view.document());
    end.movePosition(QTextCursor::End);
    m_view.setTextCursor(end);
}

void JournalViewWriter::keepGlyphs(const QTextBlock &block)
{
    block.layout()->setCacheEnabled(true);
    m_glyphsKeptAt = block.position();
}

void JournalViewWriter::releaseGlyphs()
{
    if (m_glyphsKeptAt < 0)
        return;
    const QTextBlock block = m_view.document()->findBlock(m_glyphsKeptAt);
    if (block.isValid() && block.position() == m_glyphsKeptAt)
        block.layout()->setCacheEnabled(false);
    m_glyphsKeptAt = -1;
}

void JournalViewWriter::reset()
{
    m_glyphsKeptAt = -1;
}

QTextCursor JournalViewWriter::cursorFor(const Selection &selection) const
{
    QTextCursor cursor(m_view.document());
    cursor.setPosition(selection.start);
    cursor.setPosition(selection.start + selection.length, QTextCursor::KeepAnchor);
    return cursor;
}

JournalViewWriter::Selection JournalViewWriter::append(
    const QString &line, JournalKind kind, int selectFrom)
{
    QTextDocument *document = m_view.document();
    const bool alone = !inBatch();
    if (alone) {
        dropSelection();
        releaseGlyphs();
        m_edit = QTextCursor(document);
        m_edit.beginEditBlock();
    }
    // Plain text always: a line is never read as markup. The paragraph break after it
    // stays in the base format, so the next line starts out in it.
    m_edit.movePosition(QTextCursor::End);
    if (!document->isEmpty())
        m_edit.insertBlock(QTextBlockFormat(), lineFormat(JournalKind::Plain));
    m_edit.insertText(line, lineFormat(kind));

    const Selection selection
        = selectionWithin(document->characterCount(), selectFrom, int(line.size()));
    if (alone) {
        // Made inside the edit, the cursor measures nothing before the line is laid out.
        const QTextCursor cursor = cursorFor(selection);
        keepGlyphs(m_edit.block());
        m_edit.endEditBlock(); // lays the line out; the view's change handler scrolls
        m_edit = QTextCursor();
        m_view.setTextCursor(cursor);
    } else {
        m_batchHasLine = true;
        m_batchSelection = selection;
    }
    return selection;
}

void JournalViewWriter::beginBatch()
{
    if (m_depth++ > 0)
        return;
    dropSelection();
    releaseGlyphs();
    m_batchHasLine = false;
    m_edit = QTextCursor(m_view.document());
    m_edit.beginEditBlock();
}

void JournalViewWriter::endBatch()
{
    if (m_depth == 0 || --m_depth > 0)
        return;
    QTextCursor cursor;
    if (m_batchHasLine) {
        cursor = cursorFor(m_batchSelection);
        keepGlyphs(m_edit.block());
    }
    m_edit.endEditBlock();
    m_edit = QTextCursor();
    if (!cursor.isNull())
        m_view.setTextCursor(cursor);
}
