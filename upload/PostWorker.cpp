#include "upload/PostWorker.h"

#include "diag/Exception.h"
#include "upload/ThreadStart.h"

#include <QEventLoop>
#include <QMetaObject>

#include <memory>

PostWorker::PostWorker(QObject *context)
    : m_context(context)
{
}

PostWorker::~PostWorker()
{
    waitForDone();
}

void PostWorker::waitForDone()
{
    std::vector<std::unique_ptr<QThread>> threads;
    {
        std::unique_lock lock(m_mutex);
        m_idle.wait(lock, [this] { return m_working == 0; });
        threads = std::move(m_threads);
    }
    for (const std::unique_ptr<QThread> &thread : threads)
        thread->wait();
}

void PostWorker::start(std::function<QString()> post, std::function<void(const PostOutcome &)> done)
{
    std::unique_lock lock(m_mutex);
    m_queue.push_back({std::move(post), std::move(done)});
    // All busy: one of them takes the post once its own has ended.
    if (m_working >= MaxWorkers)
        return;
    // Workers through the queue are joined here, so that only the busy ones stay.
    std::erase_if(m_threads, [](const std::unique_ptr<QThread> &thread) {
        return thread->isFinished() && thread->wait();
    });
    std::unique_ptr<QThread> thread(QThread::create([this] { work(); }));
    thread->setObjectName(workerName);
    ++m_working;
    if (startThread(*thread)) {
        m_threads.push_back(std::move(thread));
        return;
    }
    --m_working;
    // A worker still running takes the post after its own; with none, every post
    // waiting fails now rather than wait for ever.
    if (m_working > 0)
        return;
    const std::deque<Task> refused = std::exchange(m_queue, {});
    m_idle.notify_all();
    lock.unlock();
    PostOutcome outcome;
    outcome.failure = std::make_exception_ptr(Exception(notStartedText));
    for (const Task &task : refused)
        deliver(task, outcome);
}

void PostWorker::work()
{
    for (;;) {
        Task task;
        {
            std::lock_guard lock(m_mutex);
            if (m_queue.empty()) {
                --m_working;
                m_idle.notify_all();
                return;
            }
            task = std::move(m_queue.front());
            m_queue.pop_front();
        }
        PostOutcome outcome;
        try {
            outcome.reply = task.post();
        } catch (...) {
            outcome.failure = std::current_exception();
        }
        deliver(task, outcome);
    }
}

void PostWorker::deliver(const Task &task, const PostOutcome &outcome) const
{
    // The context outlives the workers (its owner waits for them first), and a call
    // still queued when the context goes is dropped with it.
    QMetaObject::invokeMethod(
        m_context, [done = task.done, outcome] { done(outcome); }, Qt::QueuedConnection);
}

std::optional<PostOutcome> PostWorker::await(std::function<QString()> post)
{
    struct Waiting {
        QEventLoop *loop = nullptr;
        std::optional<PostOutcome> outcome;
    };
    // Shared with the queued call, which may come after this function has returned.
    auto waiting = std::make_shared<Waiting>();
    QEventLoop loop;
    waiting->loop = &loop;
    start(std::move(post), [waiting](const PostOutcome &outcome) {
        if (!waiting->loop)
            return;
        waiting->outcome = outcome;
        waiting->loop->quit();
    });
    loop.exec();
    waiting->loop = nullptr;
    return waiting->outcome;
}
