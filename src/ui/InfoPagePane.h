#pragma once

#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

class InfoPageProcess;
class InfoPageView;
class QWindow;

// The place of the main window's info page, and of the country map. The page, and the web engine with its helper
// processes that shows it (most of the program's memory), exists only while the window can be seen: it is made when the
// window is shown (or restored) and released once the window has been hidden or minimised for a while, so
// that a program waiting in the tray stays small. On X11 the page is shown by the info-page helper, a
// process of its own, inside this place: the whole engine ends with it. Where windows of other processes
// cannot be placed in ours (Wayland, no display), or when the helper is missing or failed, the page is a web
// view in this process, whose engine, once started, stays until the program ends. The address last opened
// is kept and shown again when the page is made anew.
class InfoPagePane : public QWidget
{
    Q_OBJECT

public:
    explicit InfoPagePane(QWidget* parent = nullptr);

    // Opens an http or file:/// address now, or as soon as the page can be seen; an empty or unusable
    // address is ignored.
    void OpenUrl(const QString& url);
    // The address the page shows, or will show when the window is seen.
    QString url() const { return m_url; }
    // The web view in this process, or null while there is none (see above).
    InfoPageView* view() const { return m_view; }
    // How long the window must stay out of sight before the view is released (default 30 s).
    void setReleaseDelay(int ms) { m_release.setInterval(ms); }

signals:
    // A web view was made in this process (the first one starts the web engine).
    void viewCreated(InfoPageView* view);
    // A helper was started to show the page.
    void pageProcessStarted(InfoPageProcess* process);
    // How far the page has loaded (0 when a load starts), and how its load ended.
    void loadProgress(int percent);
    void loadFinished(bool ok);
    // The page was released.
    void viewReleased();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    bool windowCanBeSeen() const;
    void watchWindow();
    void scheduleUpdate();
    void updateView();
    bool startPageProcess();
    void placeHost();
    void releaseView();

    QString m_url;
    InfoPageView* m_view = nullptr;
    QPointer<InfoPageProcess> m_process;
    // The native window the helper's page goes inside.
    QWidget* m_host = nullptr;
    bool m_processFailed = false;
    QTimer m_release;
    QPointer<QWidget> m_topLevel;
    QPointer<QWindow> m_windowHandle;
    bool m_updatePending = false;
};
