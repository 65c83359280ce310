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

void UseFewerWebEngineHelpers()
{
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    const QList<QByteArray> given = flags.simplified().split(' ');
    const bool unsandboxed = !qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX") ||
                             given.contains(QByteArrayLiteral("--no-sandbox"));
    // The unsandboxed zygote holds about 20 MB for as long as the program runs, to save a fork and exec
    // the few times the engine starts such a helper.
    const QByteArray flag =
        unsandboxed ? QByteArrayLiteral("--no-zygote") : QByteArrayLiteral("--no-unsandboxed-zygote");
    if (given.contains(flag))
        return;
    // The variable is read when the first page is made, long after start-up, so it stays set; a program started
    // later that reads it runs without the sandbox too, as it inherits the variable that turned it off.
    flags += flags.isEmpty() ? flag : ' ' + flag;
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);
}
