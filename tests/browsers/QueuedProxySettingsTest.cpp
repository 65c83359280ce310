// Desktop proxy writes handed to a thread of their own: the caller does not wait, every change lands
// in order, and nothing queued is lost when writing is switched back or the writer goes away.
#include "browsers/QueuedProxySettings.h"

#include <QStringList>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

using platform::QueuedProxySettings;

namespace {

// A store whose writes wait until the test opens the gate, and that records what it wrote.
class GatedStore : public platform::SystemProxySettings
{
public:
    QString name() const override { return QStringLiteral("gated"); }
    bool isAvailable() const override { return available; }
    using SystemProxySettings::apply;
    bool apply(const QString& proxy, bool) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_gateChanged.wait(lock, [this] { return m_open; });
        m_written << proxy;
        return true;
    }
    void open()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_open = true;
        }
        m_gateChanged.notify_all();
    }
    // For a job that runs in the writer's order.
    void note(const QString& what)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_written << what;
    }
    QStringList written()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_written;
    }

    bool available = true;

private:
    std::mutex m_mutex;
    std::condition_variable m_gateChanged;
    bool m_open = false;
    QStringList m_written;
};

} // namespace

TEST(QueuedProxySettings, InTheBackgroundApplyReturnsAtOnceAndFlushWritesEveryChangeAndJobInOrder)
{
    GatedStore first;
    GatedStore second;
    second.available = false;
    QueuedProxySettings queued{&first, &second};
    queued.setBackground(true);
    EXPECT_EQ(queued.name(), QStringLiteral("gated+gated"));
    // The store blocks every write; apply and post must still come back.
    EXPECT_TRUE(queued.apply(QStringLiteral("1.2.3.4:80")));
    queued.post([&] { first.note(QStringLiteral("job")); });
    EXPECT_TRUE(queued.apply(QString()));
    second.open();
    EXPECT_TRUE(queued.apply(QStringLiteral("5.6.7.8:3128")));
    EXPECT_TRUE(first.written().isEmpty());

    first.open();
    queued.flush();
    EXPECT_EQ(first.written(), (QStringList{QStringLiteral("1.2.3.4:80"), QStringLiteral("job"), QString(),
                                            QStringLiteral("5.6.7.8:3128")}));
    EXPECT_TRUE(second.written().isEmpty()) << "a store that is not available is not written";

    // With no store available there is nothing to queue, and apply says so.
    QueuedProxySettings none(second);
    none.setBackground(true);
    EXPECT_FALSE(none.isAvailable());
    EXPECT_FALSE(none.apply(QStringLiteral("1.2.3.4:80")));
    none.flush();
    EXPECT_TRUE(second.written().isEmpty());
}

TEST(QueuedProxySettings, SwitchingTheBackgroundOffOrDestroyingTheWriterLosesNothing)
{
    GatedStore store;
    {
        QueuedProxySettings queued(store);
        queued.setBackground(true);
        queued.apply(QStringLiteral("1.2.3.4:80"));
        store.open();
        queued.setBackground(false);
        EXPECT_EQ(store.written(), QStringList{QStringLiteral("1.2.3.4:80")}) << "switching off waits for the queue";
        // Written at once now, after what was queued.
        EXPECT_TRUE(queued.apply(QString()));
        EXPECT_EQ(store.written().size(), 2);
        queued.setBackground(true);
        queued.apply(QStringLiteral("9.9.9.9:8080"));
    }
    EXPECT_EQ(store.written().last(), QStringLiteral("9.9.9.9:8080")) << "the destructor writes what was queued";
}
