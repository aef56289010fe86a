#include "upload/JournalLines.h"

#include "diag/TimeTexts.h"

#include <QDateTime>
#include <QLocale>

#include <limits>
#include <mutex>
#include <tuple>

namespace
{

std::mutex stampMutex;
std::function<std::pair<QString, QString>()> stampOverride;

} // namespace

QString journalLineText(
    int number, const QString &dateText, const QString &timeText, const QString &message)
{
    // The number and the dates leave nothing to trim at the front; the message may leave
    // something at the end (or be empty, leaving the blank after the time).
    const QString head = QString::number(number);
    const QStringView date = trimmedControls(dateText);
    const QStringView time = trimmedControls(timeText);
    QString line;
    line.reserve(head.size() + date.size() + time.size() + message.size() + 4);
    line.append(head).append(QLatin1String(". ")).append(date).append(u' ').append(time);
    line.append(u' ').append(message);
    const QStringView trimmed = trimmedControls(line);
    if (trimmed.size() == line.size())
        return line;
    return trimmed.toString();
}

std::pair<QString, QString> journalStampTexts(const QDateTime &time, bool cLocale)
{
    if (cLocale)
        return {time.date().toString(QStringLiteral("dd.MM.yyyy")),
            time.time().toString(QStringLiteral("HH:mm:ss"))};
    return {shortDateText(time.date()), longTimeText(time.time())};
}

bool systemLocaleIsC()
{
    static const bool c = QLocale::system().language() == QLocale::C;
    return c;
}

std::pair<QString, QString> journalStamp()
{
    {
        std::lock_guard lock(stampMutex);
        if (stampOverride)
            return stampOverride();
    }
    // The local date and time texts change once a second at most, and making them (the
    // time zone looked up, the locale's formats applied) costs more than adding the line
    // itself; each reading of the clock takes them from the second it falls in.
    thread_local qint64 second = std::numeric_limits<qint64>::min();
    thread_local QString dateText;
    thread_local QString timeText;
    auto reading = [&] {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        const qint64 nowSecond = now / 1000 - (now % 1000 < 0 ? 1 : 0);
        if (nowSecond != second) {
            const QDateTime local = QDateTime::fromMSecsSinceEpoch(nowSecond * 1000);
            std::tie(dateText, timeText) = journalStampTexts(local, systemLocaleIsC());
            second = nowSecond;
        }
    };
    reading();
    const QString date = dateText;
    reading();
    return {date, timeText};
}

void setJournalStampForTesting(std::function<std::pair<QString, QString>()> stamp)
{
    std::lock_guard lock(stampMutex);
    stampOverride = std::move(stamp);
}

QString ProgressItemReader::next()
{
    const qsizetype start = m_next;
    qsizetype end = m_reply.indexOf(u';', start);
    if (end < 0)
        end = m_reply.size();
    m_next = end + 1;
    return m_reply.mid(start, end - start);
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
