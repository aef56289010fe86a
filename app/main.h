// The main window TForm1: service address, upload button, option box and the message
// journal. The upload itself (the command's steps, clients, job, polls, completion) is
// the window's UploadCommand and its run; the window adds the dialogs, boxes and status
// bar, paints what the run reports and keeps the system's named handlers and fields.
#pragma once

#include "app/DesktopServices.h"
#include "app/Journal.h"
#include "upload/UploadCommand.h"

#include <QMainWindow>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

class FormPostClient;
class QAction;
class QCheckBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTextEdit;
class QTimer;
class QVBoxLayout;
struct SetCheckResult;
class RunStatusBar;
class SetCheckRunner;

class TForm1 : public QMainWindow, public JournalSink, private UploadFace
{
    Q_OBJECT

    // First: the fields below refer into its run.
    std::unique_ptr<UploadCommand> m_command;
    UploadRun *m_run;

public:
    explicit TForm1(QWidget *parent = nullptr);
    ~TForm1() override;

    // Controls, in the window's order from top to bottom.
    QWidget *Panel1 = nullptr;
    QLabel *Label1 = nullptr;
    QLineEdit *edtServer = nullptr;
    QPushButton *Button1 = nullptr;
    QCheckBox *edtDrawTiles = nullptr;
    QLabel *Label2 = nullptr;
    QTextEdit *reMessages = nullptr;
    QMenu *N1 = nullptr;
    QAction *N3 = nullptr;
    QAction *N2 = nullptr;
    QFileDialog *od = nullptr;        // made by openDialog() on first use
    QFileDialog *sd = nullptr;        // made by saveDialog() on first use
    QTimer *Timer1 = nullptr;         // the run's poll timer
    QTimer *Timer2 = nullptr;         // the run's completion timer
    RunStatusBar *sbStatus = nullptr; // under the journal: the running upload's stage
    QMenu *N4 = nullptr;              // "Сервис"
    QAction *N5 = nullptr;            // "Проверить комплект..."

    // Journal state, and the job's shared state as the run holds it. Kept reachable for
    // the tests; the window's own code is the only writer of num and shift.
    qint32 shift = 0;
    std::unique_ptr<FormPostClient> &http;      // the job client
    std::unique_ptr<FormPostClient> &timerHttp; // the poll client
    qint32 num = 0;
    std::atomic<bool> &processOk;
    std::atomic<bool> &process;
    QString &sessionId;

    UploadRun &uploadRun() { return *m_run; }
    UploadCommand &uploadCommand() { return *m_command; }

    // The register's open dialog and the journal's save dialog. Each is built when first
    // needed: the two with their file system models were a third of the window's start-up.
    QFileDialog *openDialog();
    QFileDialog *saveDialog();

    // The journal. An append requested from another thread is queued to the UI thread
    // and returns at once; appends keep their order and each runs as one step there.
    void addMessage(const QString &s);
    void addOkMessage(const QString &s);
    void addWarningMessage(const QString &s);
    void addErrorMessage(const QString &s);
    void addLine(JournalKind kind, const QString &s) override;
    // UI thread: the lines added in between are laid out, selected and scrolled to
    // together, at endBatch (a slice of a progress reply).
    void beginBatch() override;
    void endBatch() override;
    void resetJournal(); // UI thread: the upload command's first step

    // The window is going away: the run is abandoned (timers off, posts aborted, the job
    // ends without touching the window) and appends from other threads are dropped.
    void prepareForExit();
    bool isClosing() const { return m_closing; }

    // The date and time texts of the next journal lines; an empty function restores
    // the clock (short date, long time, read one after the other).
    static void setJournalStampForTesting(std::function<std::pair<QString, QString>()> stamp);

    // The bus of the windows made from now on; an empty factory restores the real bus.
    static void setDesktopBusFactoryForTesting(
        std::function<std::unique_ptr<DesktopBus>()> factory);
    DesktopServices &desktopServices() { return *m_desktop; }
    bool setCheckRunning() const;

public slots:
    void FormCreate();
    void N2Click();
    void N3Click();
    void Button1Click(); // the upload command
    bool auth();
    void reMessagesChange();
    void Timer1Timer();
    void Timer2Timer();
    void Button3Click();
    void getLogFromServer();
    void N5Click(); // the check of a register set, without a request

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildControls();
    void layoutPanel1();
    bool onUiThread() const;
    void queueOnUi(std::function<void()> append);
    bool appendPlain(const QString &s, JournalKind kind = JournalKind::Plain);
    void addColouredLine(const char *place, JournalKind kind, const QString &s);
    QString chooseRegister();
    void saveJournal(const QString &path);
    void buildStatusBar(QVBoxLayout *column);
    void buildServiceMenu();
    // UploadFace: what only the window adds to the command's steps.
    void workbookAccepted() override;
    void authorisationStarted() override;
    void authorisationFailed(const QString &address, const FailureCause &failure) override;
    void jobStarted() override;
    bool trustCertificate(const TlsError &failure) override;
    void jobEndedSteps();
    void announceRunEnded(const QString &title, const QString &text);
    void showSetCheck(const QString &workbookPath, const SetCheckResult &result);

    std::unique_ptr<DesktopServices> m_desktop;
    SetCheckRunner *m_setCheck = nullptr;

    std::unique_ptr<JournalViewWriter> m_journalView;
    bool buttonFillsPanel = false;
    std::atomic<bool> m_closing{false};
};

extern TForm1 *Form1;

// The completion box's details: each failed document with its reason, the failure that
// ended the job early and the error log, and where the run's report went; empty when
// there is nothing to list.
QString completionDetailsText(const QList<DocumentOutcome> &failed, const QString &reportPath,
    const FailureCause &failure = {});

// The question about a certificate that is not trusted: why, in one line, then its
// issuer, subject, validity and SHA-256 fingerprint.
QString certificateQuestionText(const TlsError &failure);
