#include "util/MainThreadQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

namespace {

// A waiter's part of a blocking hand-over.
struct Completion
{
    bool done = false; // guarded by the queue's lock
};

struct Item
{
    std::function<void()> work;
    std::shared_ptr<Completion> completion; // empty for a queued hand-over
};

class Queue
{
public:
    void push(Item item)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_items.push_back(std::move(item));
    }

    // Runs everything queued so far, in order, outside the lock (the work may post again).
    void drain()
    {
        for (;;) {
            Item item;
            {
                std::lock_guard<std::mutex> guard(m_lock);
                if (m_items.empty())
                    return;
                item = std::move(m_items.front());
                m_items.pop_front();
            }
            if (item.work)
                item.work();
            if (item.completion) {
                std::lock_guard<std::mutex> guard(m_lock);
                item.completion->done = true;
                m_finished.notify_all();
            }
        }
    }

    // Waits until completion is done or the application object is gone.
    bool wait(const std::shared_ptr<Completion>& completion)
    {
        std::unique_lock<std::mutex> guard(m_lock);
        while (!completion->done) {
            // The drain request dies with the application object; then nobody will run the work.
            if (m_finished.wait_for(guard, std::chrono::milliseconds(50)) == std::cv_status::timeout &&
                !completion->done && !QCoreApplication::instance())
                return false;
        }
        return true;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_finished;
    std::deque<Item> m_items;
};

Queue& queue()
{
    static Queue* const instance = new Queue; // lives as long as any thread may post
    return *instance;
}

bool post(Item item)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return false;
    queue().push(std::move(item));
    // The request carries nothing: the work travels in the queue. Requests outnumbering the work find an
    // empty queue and cost nothing.
    QMetaObject::invokeMethod(
        app, [] { queue().drain(); }, Qt::QueuedConnection);
    return true;
}

} // namespace

bool PostToMainThread(std::function<void()> work)
{
    return post({std::move(work), nullptr});
}

bool RunOnMainThreadAndWait(std::function<void()> work)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return false;
    if (QThread::currentThread() == app->thread()) {
        work();
        return true;
    }
    auto completion = std::make_shared<Completion>();
    if (!post({std::move(work), completion}))
        return false;
    return queue().wait(completion);
}
