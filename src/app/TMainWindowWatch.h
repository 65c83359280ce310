#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

class TfrmMainForm;

// Watches the main window for the two moments the start-up code cares about: its first showing
// (reported on stderr when VEILPORT_TRACE_STARTUP=1, for start-up measurements) and its closing
// for good, which ends the event loop. A close that only hides the window into the tray, or
// minimises it, leaves the program running.
class TMainWindowWatch : public QObject
{
public:
    TMainWindowWatch(TfrmMainForm* window, const QElapsedTimer& sinceStart);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void quitIfClosedForGood();

    QPointer<TfrmMainForm> m_window;
    // The same window as a plain object, for telling its events apart: events still reach the filter while the
    // window is half destroyed, when it may no longer be looked at as a TfrmMainForm.
    const QObject* m_watched;
    QElapsedTimer m_sinceStart;
    bool m_traceStartup = false;
    bool m_shown = false;
};
