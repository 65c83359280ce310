#include "util/MainThreadQueue.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>

#include <sys/eventfd.h>
#include <unistd.h>

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

// The main thread learns of new work through an eventfd it watches from its event loop. Posting is a lock
// and a write to that descriptor: nothing is allocated on one thread for the other to free, and no
// synchronisation hides inside the toolkit.
class Queue
{
public:
    Queue() : m_wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

    int wakeFd() const { return m_wakeFd; }

    void push(Item item)
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_items.push_back(std::move(item));
        }
        wake();
    }

    void wake()
    {
        const quint64 one = 1;
        (void)!write(m_wakeFd, &one, sizeof(one));
    }

    // Called when the descriptor is readable: clears it, then runs the work.
    void woken()
    {
        quint64 count = 0;
        (void)!read(m_wakeFd, &count, sizeof(count));
        drain();
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
    const int m_wakeFd;
    std::mutex m_lock;
    std::condition_variable m_finished;
    std::deque<Item> m_items;
};

Queue& queue()
{
    static Queue* const instance = new Queue; // lives as long as any thread may post
    return *instance;
}

// Runs on the main thread as each application object is made: its event loop watches the queue from then on.
void watchFromApplication()
{
    QCoreApplication* app = QCoreApplication::instance();
    Queue& work = queue();
    auto* notifier = new QSocketNotifier(work.wakeFd(), QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] { queue().woken(); });
    work.wake(); // work left over from an earlier application object runs in the first turn
}
Q_COREAPP_STARTUP_FUNCTION(watchFromApplication)

bool post(Item item)
{
    if (!QCoreApplication::instance())
        return false;
    queue().push(std::move(item));
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
