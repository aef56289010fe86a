// Rich Text Format 1.x writer for the saved journal: a font table with one font, a
// colour table of the colours used, one \par per paragraph, coloured and bold runs.
// The output is 7-bit ASCII without a byte-order mark; other characters are \uN escapes.
#pragma once

#include <QByteArray>
#include <QColor>
#include <QList>
#include <QString>

struct RtfRun {
    QString text; // U+2028 is a line break inside the paragraph, a tab a \tab
    QColor color; // invalid: the base colour
    bool bold = false;
};
using RtfParagraph = QList<RtfRun>;

inline const QString rtfDefaultFont = QStringLiteral("Tahoma");
constexpr int rtfDefaultHalfPoints = 16; // 8 points

// The text of one run, escaped: \ { } quoted, U+2028 -> \line, tab -> \tab, other control
// characters dropped, everything beyond ASCII as \uN\'3f with N the signed UTF-16 code unit.
QByteArray rtfEscapedText(const QString &text);

// The whole document. No paragraphs give a document without text.
QByteArray rtfDocument(const QList<RtfParagraph> &paragraphs,
    const QString &fontName = rtfDefaultFont, int halfPoints = rtfDefaultHalfPoints);
