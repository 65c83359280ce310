#include "ui/ForceForegroundWindow.h"

#include <QWidget>
#include <QWindow>

bool ForceForegroundWindow(QWidget* window)
{
    if (!window)
        return false;
    if (window->isMinimized())
        window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    // A window manager may take the window off the screen (unmap it) without Qt learning that it is
    // hidden; show() alone then does nothing and the window could never be reached again. Hidden first,
    // it is mapped anew.
    const QWindow* handle = window->windowHandle();
    if (window->isVisible() && handle && !handle->isExposed())
        window->hide();
    window->show();
    if (window->isActiveWindow())
        return true;
    window->raise();
    window->activateWindow();
    return window->isActiveWindow();
}
