// The check of a register set before sending: the upload's own document search and file
// rules applied to every file, without a single request, so the user can mend every
// problem at once instead of meeting them one by one in the middle of a run.
#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class QThread;

struct SetProblem {
    QString shownPath; // the full local path as the journal shows it
    QString reason;    // what is wrong, in plain words
    QString advice;    // what to do about it
};

struct SetCheckResult {
    int documentCount = 0; // documents the search found, problems included
    qint64 totalBytes = 0; // the workbook and every document an upload would send
    QList<SetProblem> problems;
};

// Checks the workbook and every PDF below its folder: each can be opened for reading and
// is not held open for writing (the rule of an upload), is not empty, each PDF begins with
// "%PDF-", and each name can be sent. Once `*stop` is true the check ends early.
SetCheckResult checkSet(const QString &workbookPath, const std::atomic<bool> *stop = nullptr);

// The time an upload of `bytes` would take at `bytesPerSecond`, as "ч:мм:сс"; empty when
// no speed is known yet.
QString estimatedTimeText(qint64 bytes, double bytesPerSecond);

// One check at a time on its own thread, so a big folder never freezes the window; the
// result comes back on the owner's thread.
class SetCheckRunner : public QObject
{
    Q_OBJECT

public:
    using Done = std::function<void(const QString &workbookPath, const SetCheckResult &)>;
    static inline const QString threadName = QStringLiteral("SetCheck");

    explicit SetCheckRunner(QObject *parent = nullptr);
    ~SetCheckRunner() override; // stops a running check and waits for it

    // False, doing nothing, while a check runs, and when the system refuses its thread.
    bool start(const QString &workbookPath, Done done);
    bool running() const { return m_running; }

private:
    void finish();

    std::unique_ptr<QThread> m_thread;
    std::atomic<bool> m_stop{false};
    bool m_running = false;
};
