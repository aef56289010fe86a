#include "app/Journal.h"

QString journalViewText(const QString &lineText)
{
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
