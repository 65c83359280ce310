#include "ui/InfoPagePane.h"

#include "ui/InfoPageProcess.h"
#include "ui/InfoPageView.h"

#include <QEvent>
#include <QGuiApplication>
#include <QUrl>
#include <QWindow>

namespace {
// Long enough that a window closed and opened again at once keeps its page; short enough that a
// program left in the tray gives the memory back soon.
constexpr int kReleaseDelayMs = 30000;
} // namespace

InfoPagePane::InfoPagePane(QWidget* parent) : QWidget(parent)
{
    m_release.setSingleShot(true);
    m_release.setInterval(kReleaseDelayMs);
    connect(&m_release, &QTimer::timeout, this, &InfoPagePane::releaseView);
    watchWindow();
}

void InfoPagePane::OpenUrl(const QString& url)
{
    if (url.isEmpty() || !QUrl(url).isValid())
        return;
    m_url = url;
    if (m_view)
        m_view->OpenUrl(url);
    if (m_process)
        m_process->open(url);
}

bool InfoPagePane::windowCanBeSeen() const
{
    const QWidget* top = window();
    const QWindow* handle = top->windowHandle();
    return top->isVisible() && !top->isMinimized() && handle && handle->isExposed();
}

void InfoPagePane::watchWindow()
{
    QWidget* top = window();
    if (top != m_topLevel) {
        if (m_topLevel)
            m_topLevel->removeEventFilter(this);
        m_topLevel = top;
        if (top != this)
            top->installEventFilter(this);
    }
    QWindow* handle = top->windowHandle();
    if (handle != m_windowHandle) {
        if (m_windowHandle)
            m_windowHandle->removeEventFilter(this);
        m_windowHandle = handle;
        if (handle)
            handle->installEventFilter(this);
    }
}

bool InfoPagePane::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::Show:
    case QEvent::Hide:
    case QEvent::WindowStateChange:
    case QEvent::WinIdChange:
    case QEvent::Expose:
        scheduleUpdate();
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void InfoPagePane::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (m_view)
        m_view->setGeometry(rect());
    if (m_host) {
        m_host->setGeometry(rect());
        placeHost();
    }
    if (m_process)
        m_process->resize(size());
}

void InfoPagePane::scheduleUpdate()
{
    // After the event that changed the window has been handled: the window draws its own controls
    // first, and a burst of events (show, expose, state change) decides once.
    if (m_updatePending)
        return;
    m_updatePending = true;
    QMetaObject::invokeMethod(this, &InfoPagePane::updateView, Qt::QueuedConnection);
}

void InfoPagePane::updateView()
{
    m_updatePending = false;
    watchWindow();
    if (!windowCanBeSeen()) {
        if ((m_view || m_process) && !m_release.isActive())
            m_release.start();
        return;
    }
    m_release.stop();
    if (m_view || m_process || startPageProcess())
        return;
    m_view = new InfoPageView(this);
    connect(m_view, &QWebEngineView::loadStarted, this, [this] { emit loadProgress(0); });
    connect(m_view, &QWebEngineView::loadProgress, this, &InfoPagePane::loadProgress);
    connect(m_view, &QWebEngineView::loadFinished, this, &InfoPagePane::loadFinished);
    m_view->setGeometry(rect());
    m_view->show();
    if (!m_url.isEmpty())
        m_view->OpenUrl(m_url);
    emit viewCreated(m_view);
}

void InfoPagePane::placeHost()
{
    // Qt leaves a native child made inside plain widgets at the corner of the window it belongs to.
    const QWidget* nativeParent = m_host->nativeParentWidget();
    QWindow* handle = m_host->windowHandle();
    if (nativeParent && handle)
        handle->setGeometry(QRect(m_host->mapTo(nativeParent, QPoint()), m_host->size()));
}

bool InfoPagePane::startPageProcess()
{
    if (m_processFailed || QGuiApplication::platformName() != QLatin1String("xcb"))
        return false;
    const QString program = InfoPageProcess::helperProgram();
    if (program.isEmpty())
        return false;
    if (!m_host) {
        m_host = new QWidget(this);
        m_host->setAttribute(Qt::WA_DontCreateNativeAncestors);
        m_host->setAttribute(Qt::WA_NativeWindow);
    }
    m_host->setGeometry(rect());
    m_host->show();
    const WId window = m_host->winId();
    placeHost();
    auto* process = new InfoPageProcess(this);
    if (!process->start(program, window, size())) {
        delete process;
        m_processFailed = true;
        m_host->hide();
        return false;
    }
    m_process = process;
    connect(process, &InfoPageProcess::loadProgress, this, &InfoPagePane::loadProgress);
    connect(process, &InfoPageProcess::loadFinished, this, &InfoPagePane::loadFinished);
    connect(process, &InfoPageProcess::failed, this, [this, process] {
        if (process != m_process)
            return;
        // A helper that crashed is not started again: the page stays in this process from now on.
        m_processFailed = true;
        m_process = nullptr;
        m_host->hide();
        emit viewReleased();
        scheduleUpdate();
    });
    if (!m_url.isEmpty())
        process->open(m_url);
    emit pageProcessStarted(process);
    return true;
}

void InfoPagePane::releaseView()
{
    if ((!m_view && !m_process) || windowCanBeSeen())
        return;
    // The page's renderer process ends with its last view, the whole engine with its helper.
    if (m_process) {
        m_process->end();
        m_process = nullptr;
    }
    delete m_view;
    m_view = nullptr;
    emit viewReleased();
}
