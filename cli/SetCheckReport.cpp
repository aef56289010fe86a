#include "cli/SetCheckReport.h"

#include "cli/CliOptions.h"
#include "cli/ConsoleJournal.h"
#include "upload/TransferMeter.h"
#include "upload/UploadRun.h"

QString setCheckText(const QString &workbookPath, const SetCheckResult &result)
{
    QString text = QStringLiteral("Реестр: %1\n").arg(workbookPath)
        + QStringLiteral("Документов: %1\n").arg(result.documentCount)
        + QStringLiteral("Общий размер: %1\n").arg(sizeText(result.totalBytes));
    if (result.problems.isEmpty())
        return text + QStringLiteral("Проблем не найдено.\n");
    text += QStringLiteral("Найдено проблем: %1\n").arg(result.problems.size());
    for (const SetProblem &problem : result.problems)
        text += QStringLiteral("\n%1\n  %2\n  %3\n")
                    .arg(problem.shownPath, problem.reason, problem.advice);
    return text;
}

int runSetCheck(const QString &workbookPath, int outputFd)
{
    SetCheckResult result;
    if (!isWorkbookPath(workbookPath))
        result.problems << SetProblem{workbookPath, UploadTexts::notWorkbook, {}};
    else
        result = checkSet(workbookPath);
    // Names come from the disk: nothing in them may steer the terminal.
    writeAll(outputFd, ConsoleJournal::terminalSafe(setCheckText(workbookPath, result)).toUtf8());
    return result.problems.isEmpty() ? ExitStatus::Ok : ExitStatus::Failed;
}
