// The message journal's view: how a line sits in the window's view (one paragraph per
// line, so line k begins where the lines before it end plus one position each), and the
// writer that appends lines to the view one by one or a batch at a time. The line texts
// and kinds themselves are the upload's (upload/JournalLines.h).
#pragma once

#include "upload/JournalLines.h"

#include <QString>
#include <QTextBlock>
#include <QTextCursor>

class QTextEdit;

// The line as the view holds it: every line break inside it (CR LF, CR, LF, U+2029)
// becomes one in-paragraph break (U+2028), so the line stays one paragraph and the
// position arithmetic below holds. The view's frame markers U+FDD0/U+FDD1 become U+FFFD.
QString journalViewText(const QString &lineText);

// Where the next line begins, after a line of `length` code units that began at `start`:
// its text plus the one position of its paragraph break.
constexpr int nextLineStart(int start, int length)
{
    return start + length + 1;
}

// Appends lines to the journal view, each as its last paragraph in the base format or in
// its kind's colour and bold, and selects the new line. Outside a batch every line is
// one edit of the view: laid out, selected and scrolled to at once. Inside a batch the
// lines are one edit together, laid out, selected (the last line) and scrolled to once,
// at the end of the batch; nothing else may touch the view meanwhile.
//
// The toolkit keeps the shaped glyphs of a paragraph whose selection it measured until
// the paragraph is laid out anew. So the newest line keeps the glyphs of its layout (the
// view measures its selection and paints it at once, without shaping it again), and
// before the next edit the selection is cleared and the glyphs let go: the edit lays
// that line out once more, which frees them. Only the newest line holds glyphs.
class JournalViewWriter
{
public:
    explicit JournalViewWriter(QTextEdit &view);

    struct Selection {
        int start = 0;
        int length = 0;
        bool operator==(const Selection &) const = default;
    };
    // Where a selection from `from` over `length` positions lands in a view of
    // `viewLength` positions (its text and the final paragraph mark): a position outside
    // the view leaves that end where it was, as the view's own cursor does.
    static Selection selectionWithin(int viewLength, int from, int length);

    // Appends `line` (as journalViewText gives it), then selects from `selectFrom` over as
    // many positions as the line has, as far as the view allows; returns the selection.
    Selection append(const QString &line, JournalKind kind, int selectFrom);

    void beginBatch();
    void endBatch();
    bool inBatch() const { return m_depth > 0; }

    // The view was emptied.
    void reset();

private:
    void dropSelection();
    void keepGlyphs(const QTextBlock &block);
    void releaseGlyphs();
    QTextCursor cursorFor(const Selection &selection) const;

    QTextEdit &m_view;
    QTextCursor m_edit; // open while a batch is
    int m_depth = 0;
    bool m_batchHasLine = false;
    Selection m_batchSelection;
    int m_glyphsKeptAt = -1; // where the newest line begins while it keeps its glyphs
};
