// "Проверить комплект...": the check of a register set on a worker thread, so a big folder
// never freezes the window, and the dialog with its counts, size, estimate and problems.
#pragma once

#include "upload/SetCheck.h"

#include <QDialog>
#include <QObject>

#include <atomic>
#include <functional>
#include <thread>

class QLabel;
class QTableWidget;

class SetCheckDialog : public QDialog
{
    Q_OBJECT

public:
    // `bytesPerSecond`: the last upload's speed, 0 when there was none.
    SetCheckDialog(const QString &workbookPath, const SetCheckResult &result, double bytesPerSecond,
        QWidget *parent = nullptr);

    static QString summaryText(
        const QString &workbookPath, const SetCheckResult &result, double bytesPerSecond);

    QLabel *summary = nullptr;
    QTableWidget *table = nullptr; // file, problem, what to do; hidden when none
};

// One check at a time on its own thread; the result comes back on the owner's thread.
class SetCheckRunner : public QObject
{
    Q_OBJECT

public:
    using Done = std::function<void(const QString &workbookPath, const SetCheckResult &)>;

    explicit SetCheckRunner(QObject *parent = nullptr);
    ~SetCheckRunner() override; // stops a running check and waits for it

    // False, doing nothing, while a check runs.
    bool start(const QString &workbookPath, Done done);
    bool running() const { return m_running; }

private:
    void finish();

    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    bool m_running = false;
};
