// The main window TForm1: service address, upload button, option box and the message
// journal. It owns the job and poll clients and the flags an upload job shares with the
// window, relays the service's progress and shows the completion notice.
#pragma once

#include "app/Journal.h"
#include "net/FormPostClient.h"
#include "upload/UploadJobHost.h"

#include <QMainWindow>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

class QAction;
class QCheckBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTextEdit;
class QTimer;

inline const QString defaultServerAddress = QStringLiteral("http://127.0.0.1:8080");
constexpr int pollIntervalMs = 2000;
constexpr int completionIntervalMs = 1000;

class TForm1 : public QMainWindow, public UploadJobHost
{
    Q_OBJECT

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
    QFileDialog *od = nullptr;
    QFileDialog *sd = nullptr;
    QTimer *Timer1 = nullptr;
    QTimer *Timer2 = nullptr;

    // Journal state and the job's shared state. Kept reachable for the upload command
    // and the tests; the window's own code is the only writer of num and shift.
    qint32 shift = 0;
    std::unique_ptr<FormPostClient> http;      // the job client
    std::unique_ptr<FormPostClient> timerHttp; // the poll client
    qint32 num = 0;
    std::atomic<bool> processOk{false}; // read by Timer2Timer while a job may write it
    std::atomic<bool> process{false};
    QString sessionId;

    // The journal. Each append may be requested from any thread: it then runs on the UI
    // thread, as one step, in request order, and returns when done.
    void addMessage(const QString &s);
    void addOkMessage(const QString &s);
    void addWarningMessage(const QString &s);
    void addErrorMessage(const QString &s);
    void addLine(JournalKind kind, const QString &s);
    void resetJournal(); // UI thread: the upload command's first step

    // UploadJobHost: callable from the job's thread; each returns at once, without
    // touching the window, once the window is closing.
    void jobLine(LineKind kind, const QString &text) override;
    void setUploadButtonEnabled(bool enabled) override;
    void setPollTimerActive(bool active) override;
    void startCompletionTimer() override;
    bool drawTilesSuppressed() override;
    void setProcess(bool running) override;
    void setProcessOk(bool ok) override;
    void setSessionId(const QString &id) override;
    void runFinalFetch() override;

    // The window is going away: cross-thread requests return at once from now on, the
    // timers stop, and posts blocked on the service fail so their threads can end.
    void prepareForExit();
    bool isClosing() const { return closing->load(); }

    // The date and time texts of the next journal lines; an empty function restores
    // the clock (short date, long time, read one after the other).
    static void setJournalStampForTesting(std::function<std::pair<QString, QString>()> stamp);

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

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildControls();
    void layoutPanel1();
    bool onUiThread() const;
    // Runs `step` on the UI thread and waits for it; gives up once the window closes.
    void runOnUi(std::function<void()> step);
    bool appendPlain(const QString &s);
    void addColouredLine(const char *place, JournalKind kind, const QString &s);
    bool tryBeginFetch();
    void endFetch();
    QString pollOffUiThread(const QString &baseAddress, const QString &sid);
    // Posts on a worker thread while the UI thread keeps handling events.
    QString postOffUiThread(
        FormPostClient &client, const QString &baseAddress, std::shared_ptr<MultipartForm> form);
    QString chooseRegister();
    void relayProgress(const QString &reply);
    void finalFetchFromWorker();
    void saveJournal(const QString &path);

    bool buttonFillsPanel = false;
    std::atomic<bool> fetchBusy{false};
    // Shared with waiting threads, so a wait can still read it as the window goes.
    std::shared_ptr<std::atomic<bool>> closing = std::make_shared<std::atomic<bool>>(false);
};

extern TForm1 *Form1;

// The extension of the last component of a path, dot included; empty without a dot.
QString registerExtension(const QString &path);
