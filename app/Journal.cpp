#include "app/Journal.h"

QString journalLineText(
    int number, const QString &dateText, const QString &timeText, const QString &message)
{
    const QString line = QString::number(number) + QStringLiteral(". ") + trimControls(dateText)
        + u' ' + trimControls(timeText) + u' ' + message;
    return trimControls(line);
}

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

ProgressLine classifyProgressItem(const QString &item)
{
    static const QString errorWord = QStringLiteral("ошибка");
    static const QString errorsWord = QStringLiteral("ошибок");

    const QString lower = item.toLower();
    if (lower == progressCompleteMarker)
        return {true, JournalKind::Plain, {}};
    if (lower.contains(errorWord) || lower.contains(errorsWord))
        return {false, JournalKind::Error, item};
    if (lower.contains(progressWarningMarker))
        return {false, JournalKind::Warning, QString(item).remove(progressWarningMarker)};
    if (lower.contains(progressGoodMarker))
        return {false, JournalKind::Ok, QString(item).remove(progressGoodMarker)};
    return {false, JournalKind::Plain, item};
}
