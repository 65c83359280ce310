#pragma once

#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

class InfoPageView;
class QWindow;

// The place of the main window's info page. The web view in it, and with the first view the web
// engine and its helper processes (most of the program's memory), exists only while the window can
// be seen: it is made when the window is shown (or restored) and released once the window has been
// hidden or minimised for a while, so that a program waiting in the tray stays small. The address
// last opened is kept and shown again when the view is made anew.
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
    // The web view, or null while the window has not been seen or the view was released.
    InfoPageView* view() const { return m_view; }
    // How long the window must stay out of sight before the view is released (default 30 s).
    void setReleaseDelay(int ms) { m_release.setInterval(ms); }

signals:
    // A web view was made (the first one starts the web engine).
    void viewCreated(InfoPageView* view);
    // The web view was released.
    void viewReleased();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    bool windowCanBeSeen() const;
    void watchWindow();
    void scheduleUpdate();
    void updateView();
    void releaseView();

    QString m_url;
    InfoPageView* m_view = nullptr;
    QTimer m_release;
    QPointer<QWidget> m_topLevel;
    QPointer<QWindow> m_windowHandle;
    bool m_updatePending = false;
};
