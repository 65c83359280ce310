// The info-page helper: started by the program, never by a user. It shows the main window's info page inside
// the window the program names, so that the web engine and its processes end when the page is let go.
#include "ui/InfoPageHelper.h"
#include "ui/WebRendering.h"

#include <QApplication>

#include <csignal>

int main(int argc, char** argv)
{
    // A program that closed the pipe mid-write has let the page go.
    std::signal(SIGPIPE, SIG_IGN);
    UseSoftwareWebRendering();
    UseFewerWebEngineHelpers();
    QApplication app(argc, argv);
    EndWebRenderingSetup();
    QApplication::setApplicationName(QStringLiteral("veilport"));
    InfoPageHelper helper;
    return QApplication::exec();
}
