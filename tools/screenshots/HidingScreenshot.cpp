// Runs the program itself and saves a picture of its main window a moment after it has started
// hiding, for reviews of the hiding state (scripts/screenshot-hide) and for tests that look at it.
// The program is the shipped one; only this executable watches it.
//   veilport_hiding_screenshot <picture.png> [--exit]
// With --exit the program then ends, as a close for good does (hiding stays as it was).
#include "app/uMain.h"
#include "ui/TfrmMainForm.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QLabel>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace {

QString g_picture;
bool g_exitAfter = false;

// How often the main window is looked at, and how long the info page, which draws in another
// process, gets before the picture is taken.
constexpr int kPollMs = 100;
constexpr int kDrawMs = 2500;

// The program's main window, once it exists.
TfrmMainForm* mainForm()
{
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (auto* form = dynamic_cast<TfrmMainForm*>(window))
            return form;
    }
    return nullptr;
}

// The flag box shows only while a proxy is applied.
bool isHiding(const TfrmMainForm* form)
{
    if (!form || !form->HideAction())
        return false;
    const auto* flag = form->findChild<QLabel*>(QStringLiteral("imgFlag"));
    return form->HideAction()->objectName() == QLatin1String("acStopHide") && flag && !flag->isHidden();
}

void takePicture(TfrmMainForm* form)
{
    const bool saved = form->grab().save(g_picture, "PNG");
    std::fprintf(stderr, "veilport: screenshot %s %s\n", qPrintable(g_picture), saved ? "saved" : "NOT saved");
    if (g_exitAfter) {
        form->ExitRequested = true;
        form->close();
    }
}

// Runs when the program creates its application object, so the watch lives in its event loop.
void watchForHiding()
{
    auto* poll = new QTimer(QCoreApplication::instance());
    QObject::connect(poll, &QTimer::timeout, [poll] {
        TfrmMainForm* form = mainForm();
        if (!isHiding(form))
            return;
        poll->stop();
        poll->deleteLater();
        QTimer::singleShot(kDrawMs, form, [form] { takePicture(form); });
    });
    poll->start(kPollMs);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(watchForHiding)

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3 || (argc == 3 && std::strcmp(argv[2], "--exit") != 0)) {
        std::fprintf(stderr, "usage: %s <picture.png> [--exit]\n", argv[0]);
        return 2;
    }
    g_picture = QString::fromLocal8Bit(argv[1]);
    g_exitAfter = argc == 3;
    // The program is started without switches: the picture's name is none of its own.
    int programArgc = 1;
    char* programArgv[] = {argv[0], nullptr};
    return RunApplication(programArgc, programArgv);
}
