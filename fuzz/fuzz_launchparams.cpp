// Fuzz target: a command line split by the Windows rule and read into the launch
// parameter tables. Nothing may crash, every item must be non-empty, and every key the
// tables hold must read back through the lookups.
#include "app/uLaunchParams.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString commandLine
        = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const QStringList items = splitCommandLine(commandLine);
    for (const QString &item : items)
        if (item.isEmpty() || item.contains(u'"'))
            __builtin_trap(); // items are never empty and never hold a quote
    launchParams.clear();
    valuedParams.clear();
    buildLaunchParams(items.mid(1));
    for (auto it = valuedParams.cbegin(); it != valuedParams.cend(); ++it) {
        if (upperSameLength(it.key()) != it.key())
            __builtin_trap(); // keys are stored upper-cased
        if (getParamValue(it.key()) != it.value() || !checkParams(it.key()))
            __builtin_trap();
    }
    for (const QString &item : items.mid(1))
        if (!checkParams(item))
            __builtin_trap(); // every item given is remembered as given
    return 0;
}
