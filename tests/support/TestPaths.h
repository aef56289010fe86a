// Where tests find the source tree, the build tree and the shared peer test material.
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
inline QString sharedDir()
{
    return QStringLiteral(UNMZ_SHARED_DIR);
}
