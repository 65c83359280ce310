#pragma once

#include <QObject>
#include <QTimer>

// A timer that keeps an Enabled flag apart from its interval, as the window timers the
// program's design relies on do: enabling an enabled timer or setting the interval it already
// has changes nothing, a different interval restarts the countdown, and an interval of 0 never
// ticks (even while enabled).
class WindowTimer : public QObject
{
    Q_OBJECT

public:
    explicit WindowTimer(QObject* parent = nullptr);

    // Whether the timer is switched on (it ticks only with a non-zero interval).
    bool Enabled() const { return m_enabled; }
    // Switches the timer on (a full countdown starts when it was off) or off.
    void SetEnabled(bool enabled);
    // The interval in milliseconds.
    int Interval() const { return m_interval; }
    // Sets the interval; a different value restarts a running countdown, the same value does nothing.
    void SetInterval(int ms);
    // Whether a countdown is running now.
    bool Counting() const { return m_timer.isActive(); }
    // Milliseconds left of the running countdown, -1 when none runs.
    int RemainingTime() const { return m_timer.remainingTime(); }

signals:
    // One tick.
    void Timer();

private:
    void Update();

    QTimer m_timer;
    int m_interval = 1000;
    bool m_enabled = false;
};
