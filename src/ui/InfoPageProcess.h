#pragma once

#include <QByteArray>
#include <QNetworkCookie>
#include <QObject>
#include <QSize>
#include <QString>
#include <QWindow>

class QProcess;

// The program's side of the info-page helper (veilport-infopage): a process of its own that holds the web
// engine while the page is shown inside the main window, so that the whole engine, with its zygotes, ends when
// the page is let go. Lines go out in the order they are asked for; the helper answers with the page's cookies.
//
// A change of the process proxy starts a new helper: the engine applies a new proxy only after the next request
// has already left by the old route, so the page would show (and tell its site) the address it had before.
class InfoPageProcess : public QObject
{
    Q_OBJECT

public:
    explicit InfoPageProcess(QObject* parent = nullptr);
    ~InfoPageProcess() override;

    // The helper beside the running program, or empty when it is not there.
    static QString helperProgram();

    // Starts the helper with the page inside window (an X window of this process) at size. False when it cannot
    // be started; the object is then of no more use.
    bool start(const QString& program, WId window, QSize size);
    void open(const QString& url);
    void resize(QSize size);
    void deleteCookie(const QNetworkCookie& cookie);
    void clearVisitedLinks();
    void clearHttpCache();
    // Lets the helper go (it quits when its input ends, or is killed after a few seconds) and deletes this object.
    void end();

    // Whether the helper now running said that the page is inside the window.
    bool shown() const { return m_shown; }
    // The process id of the helper now running, 0 when none runs.
    qint64 processId() const;

signals:
    // How far the page has loaded (0 when a load starts), and how its load ended.
    void loadProgress(int percent);
    void loadFinished(bool ok);
    void cookieAdded(const QNetworkCookie& cookie);
    void cookieRemoved(const QNetworkCookie& cookie);
    // The helper holding the page's cookies is gone, and its cookies with it.
    void cookiesGone();
    // The helper ended by itself (it crashed) or a new one could not be started; the object deletes itself after.
    void failed();

private:
    bool launch();
    void restart();
    void retire();
    void send(const QByteArray& line);
    void readOutput();
    void handle(const QByteArray& line);
    void helperEnded();

    QString m_program;
    WId m_window = 0;
    QSize m_size;
    QString m_url;
    QProcess* m_process = nullptr;
    QByteArray m_pending;
    bool m_shown = false;
};
