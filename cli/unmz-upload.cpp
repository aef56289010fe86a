// unmz-upload, the command-line program: the window's upload of one register workbook,
// its journal on standard output. Options first, then the application, the stop signals
// and the run.
#include "cli/CliOptions.h"
#include "cli/CommandLineUpload.h"
#include "cli/ConsoleJournal.h"
#include "cli/SetCheckReport.h"
#include "cli/StopSignals.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <csignal>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

QString environmentValue(const char *name)
{
    return qEnvironmentVariable(name);
}

// Colour where asked for; "auto": on a terminal unless NO_COLOR is set or TERM is dumb.
bool colourWanted(CliOptions::Colour colour)
{
    switch (colour) {
    case CliOptions::Colour::Always: return true;
    case CliOptions::Colour::Never: return false;
    case CliOptions::Colour::Auto: break;
    }
    return ::isatty(STDOUT_FILENO) && qEnvironmentVariable("NO_COLOR").isEmpty()
        && qEnvironmentVariable("TERM") != QStringLiteral("dumb");
}

// The animated status line only where it cannot mix into the journal: both streams on
// one terminal (not "| tee log", not a log file).
bool statusLineWanted()
{
    struct stat out {
    }, err{};
    return ::isatty(STDOUT_FILENO) && ::isatty(STDERR_FILENO) && ::fstat(STDOUT_FILENO, &out) == 0
        && ::fstat(STDERR_FILENO, &err) == 0 && out.st_rdev == err.st_rdev;
}

} // namespace

int main(int argc, char **argv)
{
    // A closed standard output (a pipe into head, say) must not end an unattended upload:
    // its writes then fail with EPIPE, and the journal is only no longer shown.
    ::signal(SIGPIPE, SIG_IGN);

    QStringList arguments;
    QStringList undecodable; // arguments whose bytes the locale's encoding cannot read
    for (int i = 1; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
        if (arguments.last().toLocal8Bit() != QByteArrayView(argv[i]))
            undecodable << arguments.last();
    }
    const CliParse parse = parseCommandLine(arguments, environmentValue);
    if (!parse.error.isEmpty()) {
        writeAll(STDERR_FILENO, "unmz-upload: " + parse.error.toUtf8() + '\n');
        return ExitStatus::Usage;
    }
    switch (parse.options.action) {
    case CliOptions::Action::Help: writeAll(STDOUT_FILENO, helpText().toUtf8()); return 0;
    case CliOptions::Action::Version:
        writeAll(STDOUT_FILENO, versionText().toUtf8() + '\n');
        return 0;
    case CliOptions::Action::Check:
    case CliOptions::Action::Upload: break;
    }
    // Such a path cannot be opened: its name would reach the system with the unreadable
    // bytes replaced, and the failure would look like a file held open or missing.
    if (undecodable.contains(parse.options.registerPath)) {
        writeAll(STDERR_FILENO,
            "unmz-upload: "
                + ConsoleJournal::terminalSafe(undecodablePathText(parse.options.registerPath))
                      .toUtf8()
                + '\n');
        return parse.options.action == CliOptions::Action::Check ? ExitStatus::Failed
                                                                 : ExitStatus::NothingDelivered;
    }

    QCoreApplication application(argc, argv);
    ConsoleJournal::Style style;
    style.colour = colourWanted(parse.options.colour);
    const QString colourTerm = qEnvironmentVariable("COLORTERM");
    style.trueColour
        = colourTerm == QStringLiteral("truecolor") || colourTerm == QStringLiteral("24bit");
    style.quiet = parse.options.quiet;
    style.status = !parse.options.quiet && statusLineWanted();
    ConsoleJournal journal(STDOUT_FILENO, STDERR_FILENO, style);

    CliOptions options = parse.options;
    // The journal names the workbook by its full path, as the window's dialog gives it,
    // and the documents are searched for beside it.
    options.registerPath = QDir::cleanPath(QFileInfo(options.registerPath).absoluteFilePath());
    if (options.action == CliOptions::Action::Check)
        return runSetCheck(options.registerPath, STDOUT_FILENO);
    if (!options.reportPath.isEmpty()) {
        options.reportPath = QFileInfo(options.reportPath).absoluteFilePath();
        // Never over the register or anything else that is not a report.
        if (const QString problem = reportPathProblem(options.reportPath, options.registerPath);
            !problem.isEmpty()) {
            writeAll(STDERR_FILENO,
                "unmz-upload: " + ConsoleJournal::terminalSafe(problem).toUtf8() + '\n');
            return ExitStatus::Usage;
        }
    }
    int status = 0;
    {
        // Only the upload has anything to stop gently; the check and the reading of the
        // options end at once on Ctrl+C, as any program does. Installed before the run's
        // threads, a Ctrl+C from here on waits in the pipe until the loop reads it.
        StopSignals::install();
        // Output that blocks (a reader that stopped) must not keep a stop signal waiting.
        ConsoleJournal::setStopFd(StopSignals::pipeReadFd());
        CommandLineUpload upload(options, journal);
        StopSignals stopSignals;
        QObject::connect(
            &stopSignals, &StopSignals::stopRequested, &upload, &CommandLineUpload::stop);
        status = upload.exec();
    } // the run ends here: its job and posts are over before the process ends
    return status;
}
