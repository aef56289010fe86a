#include "upload/JournalLines.h"

#include "diag/TimeTexts.h"

#include <QDate>
#include <QTime>

#include <mutex>

namespace
{

std::mutex stampMutex;
std::function<std::pair<QString, QString>()> stampOverride;

} // namespace

QString journalLineText(
    int number, const QString &dateText, const QString &timeText, const QString &message)
{
    const QString line = QString::number(number) + QStringLiteral(". ") + trimControls(dateText)
        + u' ' + trimControls(timeText) + u' ' + message;
    return trimControls(line);
}

std::pair<QString, QString> journalStamp()
{
    {
        std::lock_guard lock(stampMutex);
        if (stampOverride)
            return stampOverride();
    }
    const QString date = shortDateText(QDate::currentDate());
    return {date, longTimeText(QTime::currentTime())};
}

void setJournalStampForTesting(std::function<std::pair<QString, QString>()> stamp)
{
    std::lock_guard lock(stampMutex);
    stampOverride = std::move(stamp);
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
