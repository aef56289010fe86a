// Date and time texts in the user's regional formats: the short date, and the long
// time without its time-zone part (hours, minutes, seconds, e.g. 14:03:07).
#pragma once

#include <QDate>
#include <QString>
#include <QStringView>
#include <QTime>

QString shortDateText(const QDate &date);
QString longTimeText(const QTime &time);

// The text without its leading and trailing code units up to 32 (blanks and control
// characters): a view into `text`, or a copy.
QStringView trimmedControls(QStringView text);
QString trimControls(const QString &text);
