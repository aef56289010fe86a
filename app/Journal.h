// The message journal's texts: the numbered, time-stamped line, how a line sits in the
// view (one paragraph per line, so line k begins where the lines before it end plus one
// position each), and the service's progress items sorted into line kinds.
#pragma once

#include "diag/TimeTexts.h"

#include <QString>

enum class JournalKind { Plain, Ok, Warning, Error };

// Text colours (0xRRGGBB) of the coloured kinds, which are also bold; plain lines keep
// the view's base colour and weight.
constexpr unsigned okLineRgb = 0x008000;
constexpr unsigned warningLineRgb = 0x0000FF;
constexpr unsigned errorLineRgb = 0xFF0000;

// "%d. %s %s %s" filled with the number, the trimmed date and time texts and the
// message, then trimmed as a whole.
QString journalLineText(
    int number, const QString &dateText, const QString &timeText, const QString &message);

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

// One progress item of the service, sorted: the end marker, or a line of a kind.
struct ProgressLine {
    bool complete = false; // "complete!" in any letter case: stop polling, show nothing
    JournalKind kind = JournalKind::Plain;
    QString text;
};

inline const QString progressCompleteMarker = QStringLiteral("complete!");
inline const QString progressWarningMarker = QStringLiteral("warning! ");
inline const QString progressGoodMarker = QStringLiteral("good! ");

// Tests on the lower-case form, first match wins: end marker; an error word ("ошибка",
// "ошибок") keeps the item unchanged; "warning! " and "good! " are removed from the item
// only where written in lower case; anything else is a plain line.
ProgressLine classifyProgressItem(const QString &item);
