// Launch parameters: the command-line items read once at start-up into two tables,
// key=value and key:value spellings, keys looked up without regard to letter case.
// Nothing here fails or reports: an unreadable item is only remembered as given.
#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// Every item exactly as given (the value is always 0; only presence matters).
extern QMap<QString, quint8> launchParams;
// Upper-cased key -> value.
extern QMap<QString, QString> valuedParams;

// Fills both tables from the items (the program's path not included). Runs once
// during start-up, before the main window exists.
void buildLaunchParams(const QStringList &items);
// The items of a Windows command line: separators are characters <= 32, "" pairs
// before an item are skipped, a double quote opens a stretch up to the next one,
// no escape character. The first item is the program's path.
QStringList splitCommandLine(const QString &commandLine);

bool checkParams(const QString &name);
QString getParamValue(const QString &name);

// Upper-casing one character for one, in all alphabets, so lengths never change.
QString upperSameLength(const QString &text);
