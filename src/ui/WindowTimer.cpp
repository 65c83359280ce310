#include "ui/WindowTimer.h"

WindowTimer::WindowTimer(QObject* parent) : QObject(parent)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &WindowTimer::Timer);
}

void WindowTimer::SetEnabled(bool enabled)
{
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    Update();
}

void WindowTimer::SetInterval(int ms)
{
    if (ms == m_interval)
        return;
    m_interval = ms;
    Update();
}

void WindowTimer::Update()
{
    m_timer.stop();
    if (m_enabled && m_interval > 0) {
        m_timer.setInterval(m_interval);
        m_timer.start();
    }
}
