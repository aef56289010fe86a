#include "diag/TimeTexts.h"

#include <QLocale>

QString shortDateText(const QDate &date)
{
    return QLocale::system().toString(date, QLocale::ShortFormat);
}

namespace
{

// Qt's long time format may name the time zone ("t", "tt" ...); the texts of this
// program show the time of day only, as the Windows long time format does.
QString longTimeFormatWithoutZone()
{
    QString format = QLocale::system().timeFormat(QLocale::LongFormat);
    QString withoutZone;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format.at(i);
        if (c == u'\'')
            quoted = !quoted;
        if (!quoted && c == u't')
            continue;
        withoutZone += c;
    }
    withoutZone = withoutZone.trimmed();
    return withoutZone.isEmpty() ? QStringLiteral("HH:mm:ss") : withoutZone;
}

} // namespace

QString longTimeText(const QTime &time)
{
    static const QString format = longTimeFormatWithoutZone();
    return QLocale::system().toString(time, format);
}

QStringView trimmedControls(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin).unicode() <= 32)
        ++begin;
    while (end > begin && text.at(end - 1).unicode() <= 32)
        --end;
    return text.sliced(begin, end - begin);
}

QString trimControls(const QString &text)
{
    const QStringView trimmed = trimmedControls(text);
    // Nothing to trim: the same string, shared rather than copied.
    return trimmed.size() == text.size() ? text : trimmed.toString();
}
