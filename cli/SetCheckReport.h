// unmz-upload --check: the set check of a register printed for the user, without a
// single request to the service.
#pragma once

#include "upload/SetCheck.h"

#include <QString>

// The printed text: the counts, the total size and each problem with its advice.
QString setCheckText(const QString &workbookPath, const SetCheckResult &result);
// Checks the set, writes the text to `outputFd`; the exit status: 0 without problems,
// 1 with problems.
int runSetCheck(const QString &workbookPath, int outputFd);
