// The message journal's view texts: how a line sits in the window's view (one paragraph
// per line, so line k begins where the lines before it end plus one position each). The
// line texts and kinds themselves are the upload's (upload/JournalLines.h).
#pragma once

#include "upload/JournalLines.h"

#include <QString>

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
