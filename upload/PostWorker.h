// The hop between threads for blocking posts: each post runs on a worker thread and its
// outcome comes back to the thread of a context object through a queued call, so that
// thread's event loop goes on (and an open dialog holds nothing up) while the service
// answers.
#pragma once

#include <QObject>
#include <QString>
#include <QThreadPool>

#include <exception>
#include <functional>
#include <optional>

struct PostOutcome {
    QString reply;
    std::exception_ptr failure; // set when the post raised
};

class PostWorker
{
public:
    // At most this many posts run at once; more wait for a free worker. The poll client
    // serves one fetch at a time and the authorisation comes before any job.
    static constexpr int MaxWorkers = 4;

    // `context` lives on the thread that receives the outcomes and outlives this object.
    explicit PostWorker(QObject *context);
    ~PostWorker(); // waits for the posts still running: abort their clients first

    // Runs `post` on a worker; `done` then runs on the context's thread, unless the
    // context is gone by then.
    void start(std::function<QString()> post, std::function<void(const PostOutcome &)> done);

    // Runs `post` on a worker while the calling (context) thread waits in a local event
    // loop, as an awaited step of a command. Nothing when the loop was ended first
    // (the application is quitting); the post's outcome is then dropped.
    std::optional<PostOutcome> await(std::function<QString()> post);

    void waitForDone();

private:
    QObject *m_context;
    QThreadPool m_pool;
};
