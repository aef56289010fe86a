#include "app/RtfWriter.h"

QByteArray rtfEscapedText(const QString &text)
{
    QByteArray out;
    out.reserve(text.size() + 16);
    for (const QChar ch : text) {
        const char16_t c = ch.unicode();
        if (c == u'\\' || c == u'{' || c == u'}') {
            out += '\\';
            out += char(c);
        } else if (c == QChar::LineSeparator) {
            out += "\\line ";
        } else if (c == u'\t') {
            out += "\\tab ";
        } else if (c < 32) {
            continue; // no meaning inside a paragraph
        } else if (c < 128) {
            out += char(c);
        } else {
            // \u takes a signed 16-bit number. The fallback for readers without Unicode
            // is "?", written as \'3f: some readers take a plain "?" and the letters
            // after it as one word and drop them all.
            out += "\\u" + QByteArray::number(qint16(c)) + "\\'3f";
        }
    }
    return out;
}

QByteArray rtfDocument(
    const QList<RtfParagraph> &paragraphs, const QString &fontName, int halfPoints)
{
    QList<QRgb> colors;
    for (const RtfParagraph &paragraph : paragraphs)
        for (const RtfRun &run : paragraph)
            if (run.color.isValid() && !colors.contains(run.color.rgb()))
                colors << run.color.rgb();

    // \fcharset204: the font's Cyrillic character set, as the view's base format has it.
    QByteArray out = "{\\rtf1\\ansi\\ansicpg1251\\deff0\\uc1\r\n{\\fonttbl{\\f0\\fnil\\fcharset204 "
        + rtfEscapedText(fontName) + ";}}\r\n{\\colortbl ;";
    for (const QRgb rgb : colors)
        out += "\\red" + QByteArray::number(qRed(rgb)) + "\\green" + QByteArray::number(qGreen(rgb))
            + "\\blue" + QByteArray::number(qBlue(rgb)) + ';';
    out += "}\r\n\\pard\\plain\\f0\\fs" + QByteArray::number(halfPoints) + "\r\n";

    for (const RtfParagraph &paragraph : paragraphs) {
        for (const RtfRun &run : paragraph) {
            const QByteArray text = rtfEscapedText(run.text);
            if (!run.color.isValid() && !run.bold) {
                // A group keeps a leading blank or digit from running into a control word.
                out += '{' + text + '}';
                continue;
            }
            out += '{';
            if (run.color.isValid())
                out += "\\cf" + QByteArray::number(colors.indexOf(run.color.rgb()) + 1);
            if (run.bold)
                out += "\\b";
            out += ' ' + text + '}';
        }
        out += "\\par\r\n";
    }
    out += "}\r\n";
    return out;
}
