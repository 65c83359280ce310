#include "ui/InfoPagePane.h"

#include "ui/InfoPageView.h"

#include <QEvent>
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
        if (m_view && !m_release.isActive())
            m_release.start();
        return;
    }
    m_release.stop();
    if (m_view)
        return;
    m_view = new InfoPageView(this);
    m_view->setGeometry(rect());
    m_view->show();
    if (!m_url.isEmpty())
        m_view->OpenUrl(m_url);
    emit viewCreated(m_view);
}

void InfoPagePane::releaseView()
{
    if (!m_view || windowCanBeSeen())
        return;
    // The page's renderer process ends with its last view.
    delete m_view;
    m_view = nullptr;
    emit viewReleased();
}
