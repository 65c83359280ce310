#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

namespace platform {

// The end of the desktop session as a signal: SIGTERM (sent at log-out and by service managers)
// and SIGINT are turned into terminationRequested on the thread that created the watcher, so the
// program can close its windows and store its settings instead of dying on the spot.
// One watcher at a time; the default signal handling comes back when it is destroyed.
class SessionEndWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SessionEndWatcher(QObject* parent = nullptr);
    ~SessionEndWatcher() override;

    // Whether the signal handlers are in place.
    bool isActive() const { return m_active; }

signals:
    // SIGTERM or SIGINT arrived.
    void terminationRequested();

private:
    void drain();

    std::unique_ptr<QSocketNotifier> m_notifier;
    bool m_active = false;
};

} // namespace platform
