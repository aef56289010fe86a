#include "upload/PostWorker.h"

#include <QEventLoop>
#include <QMetaObject>

#include <memory>

PostWorker::PostWorker(QObject *context)
    : m_context(context)
{
    m_pool.setMaxThreadCount(MaxWorkers);
}

PostWorker::~PostWorker()
{
    waitForDone();
}

void PostWorker::waitForDone()
{
    m_pool.waitForDone();
}

void PostWorker::start(std::function<QString()> post, std::function<void(const PostOutcome &)> done)
{
    QObject *context = m_context;
    m_pool.start([context, post = std::move(post), done = std::move(done)] {
        PostOutcome outcome;
        try {
            outcome.reply = post();
        } catch (...) {
            outcome.failure = std::current_exception();
        }
        // The context outlives the pool (its owner waits for the pool first), and a call
        // still queued when the context goes is dropped with it.
        QMetaObject::invokeMethod(
            context, [done, outcome] { done(outcome); }, Qt::QueuedConnection);
    });
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
