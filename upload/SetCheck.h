// The check of a register set before sending: the upload's own document search and file
// rules applied to every file, without a single request, so the user can mend every
// problem at once instead of meeting them one by one in the middle of a run.
#pragma once

#include <QList>
#include <QString>

#include <atomic>

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
