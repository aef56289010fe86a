// Where tests find the source tree, the build tree and the test data kept in the repository.
#pragma once

#include <QString>

inline QString sourceDir()
{
    return QStringLiteral(UNMZ_SOURCE_DIR);
}
inline QString binaryDir()
{
    return QStringLiteral(UNMZ_BINARY_DIR);
}
inline QString testDataDir()
{
    return QStringLiteral(UNMZ_SOURCE_DIR "/tests/data");
}
