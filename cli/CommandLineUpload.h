// The window's upload command without the window: the workbook's name checked, the
// session authorised unless --no-auth, then the same UploadRun job, polls and final
// fetches, its journal on standard output and the completion line, ending in an exit
// status. SIGINT or SIGTERM abandons the run and ends the program at once.
#pragma once

#include "cli/CliOptions.h"
#include "upload/TransferMeter.h"
#include "upload/UploadCommand.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class ConsoleJournal;

class CommandLineUpload : public QObject, private UploadFace
{
    Q_OBJECT

public:
    CommandLineUpload(const CliOptions &options, ConsoleJournal &journal);
    ~CommandLineUpload() override;

    // Runs the upload to its end or to an interrupt; the exit status. Needs the
    // application object, and runs its event loop.
    int exec();

    // An interrupt by this signal: the notice on standard error, the run abandoned (its
    // posts aborted, nothing logged for it), and exec() ending with 128 + the number.
    void stop(int signalNumber);

    // What had reached the service so far, as the interrupt notice tells it.
    // `workbook`: what became of it, when known; else as `progress` tells it.
    static QString sentSoFar(bool jobStarted, const JobProgress &progress,
        std::optional<DocumentOutcome::Result> workbook = std::nullopt);

private:
    // The status line; `sample` feeds the meter (the spinner's ticks only).
    void showProgress(const JobProgress &progress, bool sample);
    void finish(const UploadOutcome &outcome);
    // UploadFace: the terminal's part of the command's steps.
    void workbookAccepted() override;
    void authorisationStarted() override;
    void authorisationFailed(const QString &address, const FailureCause &failure) override;
    // The cause of a failure the journal does not name, with the error log's path.
    void writeCause(const FailureCause &failure);
    void jobStarted() override;
    bool trustCertificate(const TlsError &failure) override;

    CliOptions m_options;
    ConsoleJournal &m_journal;
    QTimer m_spinner;
    TransferMeter m_meter; // fed from the documents' bytes at the spinner's pace
    QElapsedTimer m_clock;
    bool m_jobStarted = false;
    int m_status = -1; // set once: by the job's end or by an interrupt
    // Last: it goes first, ending its job and posts while the above still exist.
    UploadCommand m_command;
    UploadRun &m_run;
};
