// The hop between threads for blocking posts: each post runs on a worker thread and its
// outcome comes back to the thread of a context object through a queued call, so that
// thread's event loop goes on (and an open dialog holds nothing up) while the service
// answers. A post no thread could be started for fails like any other.
#pragma once

#include <QObject>
#include <QString>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

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
    // The name of each worker thread.
    static inline const QString workerName = QStringLiteral("PostWorker");
    // The failure of a post when no worker runs and the system refuses to start one.
    static inline const QString notStartedText
        = QStringLiteral("The post was not sent: the system refused a thread to run it.");

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
    struct Task {
        std::function<QString()> post;
        std::function<void(const PostOutcome &)> done;
    };

    void work();
    void deliver(const Task &task, const PostOutcome &outcome) const;

    QObject *m_context;
    // QThreadPool would count a thread the system refused as busy for ever, and never
    // run its task: hence workers of our own, each checked once started.
    std::mutex m_mutex;
    std::condition_variable m_idle;
    std::deque<Task> m_queue; // posts no worker has taken yet
    int m_working = 0;        // workers started and not yet through the queue
    std::vector<std::unique_ptr<QThread>> m_threads; // every worker started, until joined
};
