#include "app/uLaunchParams.h"

QMap<QString, quint8> launchParams;
QMap<QString, QString> valuedParams;

QString upperSameLength(const QString &text)
{
    QString upper = text;
    for (qsizetype i = 0; i < upper.size(); ++i) {
        const QChar c = upper.at(i);
        if (c.isHighSurrogate() && i + 1 < upper.size() && upper.at(i + 1).isLowSurrogate()) {
            const char32_t code = QChar::surrogateToUcs4(c, upper.at(i + 1));
            const char32_t mapped = QChar::toUpper(code);
            if (QChar::requiresSurrogates(mapped)) {
                upper[i] = QChar(QChar::highSurrogate(mapped));
                upper[i + 1] = QChar(QChar::lowSurrogate(mapped));
            }
            ++i;
            continue;
        }
        // Simple (one-to-one) case mapping: "ß" stays "ß" instead of becoming "SS".
        const char32_t mapped = QChar::toUpper(char32_t(c.unicode()));
        if (!QChar::requiresSurrogates(mapped))
            upper[i] = QChar(char16_t(mapped));
    }
    return upper;
}

namespace
{

// The pieces of an item cut at ":": every ":" ends a piece (empty ones count); the
// text after the last ":" is a piece only when it is not empty.
QStringList colonPieces(const QString &item)
{
    QStringList pieces;
    qsizetype start = 0;
    for (qsizetype i = 0; i < item.size(); ++i) {
        if (item.at(i) == u':') {
            pieces << item.mid(start, i - start);
            start = i + 1;
        }
    }
    if (start < item.size())
        pieces << item.mid(start);
    return pieces;
}

} // namespace

void buildLaunchParams(const QStringList &items)
{
    // First pass, key=value. The search "(.*)=(.*)" with a greedy first group and "."
    // matching line breaks splits the item at its last "=".
    for (const QString &item : items) {
        launchParams.insert(item, 0);
        const qsizetype eq = item.lastIndexOf(u'=');
        if (eq < 0)
            continue;
        QString value = item.mid(eq + 1);
        value.remove(u'\'');
        valuedParams.insert(upperSameLength(item.left(eq)), value);
    }
    // Second pass, key:value; it runs last, so it wins over the first.
    for (const QString &item : items) {
        const QStringList pieces = colonPieces(item);
        if (pieces.size() == 2)
            valuedParams.insert(upperSameLength(pieces.at(0)), pieces.at(1));
    }
}

QStringList splitCommandLine(const QString &commandLine)
{
    QStringList items;
    const qsizetype n = commandLine.size();
    qsizetype i = 0;
    auto isSeparator = [&](qsizetype at) { return commandLine.at(at).unicode() <= 32; };
    while (i < n) {
        // Separators, and "" pairs with the separators after them, before an item.
        for (;;) {
            while (i < n && isSeparator(i))
                ++i;
            if (i + 1 < n && commandLine.at(i) == u'"' && commandLine.at(i + 1) == u'"') {
                i += 2;
                continue;
            }
            break;
        }
        if (i >= n)
            break;
        QString item;
        while (i < n && !isSeparator(i)) {
            if (commandLine.at(i) == u'"') {
                ++i;
                while (i < n && commandLine.at(i) != u'"')
                    item += commandLine.at(i++);
                if (i < n)
                    ++i; // the closing quote
            } else {
                item += commandLine.at(i++);
            }
        }
        // A lone quote at the end opens an empty stretch: that is no item, as items
        // are never empty.
        if (!item.isEmpty())
            items << item;
    }
    return items;
}

bool checkParams(const QString &name)
{
    if (launchParams.contains(name))
        return true;
    return valuedParams.contains(upperSameLength(name));
}

QString getParamValue(const QString &name)
{
    return valuedParams.value(upperSameLength(name));
}
