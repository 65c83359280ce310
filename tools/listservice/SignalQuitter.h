#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

// Ends the event loop on SIGTERM or SIGINT. The handler itself only writes one byte to a pipe (the
// one thing a signal handler may safely do); the loop reads it and quits in ordinary code.
class SignalQuitter : public QObject
{
    Q_OBJECT
public:
    explicit SignalQuitter(QObject* parent = nullptr);
    ~SignalQuitter() override;

    /// False when the pipe or the handlers could not be set up (the signals then end the process
    /// the default way).
    bool isActive() const { return m_notifier != nullptr; }

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};
