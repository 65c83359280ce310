#include "ui/ForceForegroundWindow.h"

#include <QWidget>

bool ForceForegroundWindow(QWidget* window)
{
    if (!window)
        return false;
    if (window->isMinimized())
        window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->show();
    if (window->isActiveWindow())
        return true;
    window->raise();
    window->activateWindow();
    return window->isActiveWindow();
}
