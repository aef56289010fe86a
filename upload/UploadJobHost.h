// What an upload job may do to the window, and nothing more: the job lives in upload/
// and never sees app/. The main window implements this; every call may come from the
// job's thread and is carried out on the UI thread, in call order, before it returns.
#pragma once

#include <QString>

class UploadJobHost
{
public:
    enum class LineKind { Plain, Error };

    virtual ~UploadJobHost() = default;

    virtual void jobLine(LineKind kind, const QString &text) = 0;
    virtual void setUploadButtonEnabled(bool enabled) = 0;
    virtual void setPollTimerActive(bool active) = 0;
    virtual void startCompletionTimer() = 0;
    // Whether "НЕ отрисовывать объекты на карте" is ticked at this moment.
    virtual bool drawTilesSuppressed() = 0;
    virtual void setProcess(bool running) = 0;
    virtual void setProcessOk(bool ok) = 0;
    virtual void setSessionId(const QString &sessionId) = 0;
    // One progress fetch through the poll client, never overlapping a poll; returns
    // when its lines are in the journal.
    virtual void runFinalFetch() = 0;
};
