#include "ui/WebRendering.h"

#include <QCoreApplication>
#include <QQuickWindow>
#include <QSGRendererInterface>

namespace {
bool g_integrationSet = false;
} // namespace

void UseSoftwareWebRendering()
{
    if (!qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND") || qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        return;
    // The program's pages are small and still. Drawn in software, neither the program nor the web engine
    // loads the graphics driver (with a software driver a compiler of its own: tens of MB in every
    // process that touches it) or keeps an OpenGL context shared with the engine, which matters for a
    // program that spends most of its life waiting in the tray.
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts, false);
    // The X11 connection would otherwise load the driver at start-up all the same.
    qputenv("QT_XCB_GL_INTEGRATION", "none");
    g_integrationSet = true;
}

void EndWebRenderingSetup()
{
    if (g_integrationSet)
        qunsetenv("QT_XCB_GL_INTEGRATION");
    g_integrationSet = false;
}
