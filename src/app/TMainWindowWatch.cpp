#include "app/TMainWindowWatch.h"

#include "ui/TfrmMainForm.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

#include <cstdio>

TMainWindowWatch::TMainWindowWatch(TfrmMainForm* window, const QElapsedTimer& sinceStart)
    : m_window(window), m_watched(window), m_sinceStart(sinceStart),
      m_traceStartup(qgetenv("VEILPORT_TRACE_STARTUP") == "1")
{
    window->installEventFilter(this);
    connect(window, &QObject::destroyed, this, [] { QCoreApplication::quit(); });
}

bool TMainWindowWatch::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_watched) {
        if (event->type() == QEvent::Show && !m_shown) {
            m_shown = true;
            if (m_traceStartup) {
                std::fprintf(stderr, "veilport: main window shown after %lld ms%s\n",
                             static_cast<long long>(m_sinceStart.elapsed()),
                             m_window && m_window->isMinimized() ? " minimised" : "");
                std::fflush(stderr);
            }
        } else if (event->type() == QEvent::Close) {
            // The window decides in its close query; look at the outcome once it has.
            QTimer::singleShot(0, this, [this] { quitIfClosedForGood(); });
        }
    }
    return QObject::eventFilter(watched, event);
}

void TMainWindowWatch::quitIfClosedForGood()
{
    if (!m_window || (m_window->ExitRequested && !m_window->isVisible()))
        QCoreApplication::quit();
}
