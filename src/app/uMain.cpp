#include "app/uMain.h"

#include "app/CommandLine.h"
#include "app/InstanceMessages.h"
#include "app/RestoreDesktop.h"
#include "app/TMainWindowWatch.h"
#include "config/SettingsError.h"
#include "config/TSettings.h"
#include "browsers/DesktopBrowsers.h"
#include "platform/OpenFileLimit.h"
#include "platform/SessionEndWatcher.h"
#include "platform/UnixInstanceChannel.h"
#include "platform/XdgAutostart.h"
#include "proxy/TProxyManager.h"
#include "ui/ApplicationServices.h"
#include "ui/Engine.h"
#include "ui/ForceForegroundWindow.h"
#include "ui/TfrmEngineWnd.h"
#include "ui/TfrmMainForm.h"
#include "ui/WebRendering.h"
#include "util/EngineServices.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QPointer>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

Q_LOGGING_CATEGORY(lcApp, "veilport.app", QtWarningMsg)

QString InstanceName()
{
    return QStringLiteral("Global\\") + Settings()->GetConst(QStringLiteral("App.GUID"));
}

std::optional<QString> FindRunningInstance(platform::InstanceChannel& channel)
{
    const QString name = InstanceName();
    const int appId = Settings()->GetConstInt(QStringLiteral("App.ID"), 0);
    const std::optional<qint32> answer = channel.send(name, WM_INSTANCE_QUERY_ID, 0, {}, kInstanceAnswerTimeoutMs);
    if (answer && *answer == appId)
        return name;
    return std::nullopt;
}

void CloseRunningInstance(platform::InstanceChannel& channel)
{
    if (const auto name = FindRunningInstance(channel))
        channel.send(*name, WM_INSTANCE_CLOSE, 0, {}, kInstanceAnswerTimeoutMs);
}

void RaiseRunningInstance(platform::InstanceChannel& channel)
{
    if (const auto name = FindRunningInstance(channel))
        channel.send(*name, WM_INSTANCE_RAISE, 0, {}, kInstanceAnswerTimeoutMs);
}

void SendToRunningInstance(platform::InstanceChannel& channel, const QString& text)
{
    if (const auto name = FindRunningInstance(channel))
        channel.send(*name, WM_COPYDATA, 0, text.toLocal8Bit(), kInstanceAnswerTimeoutMs);
}

namespace {

// The running copy's side of the messages; runs on the user-interface thread. The windows are
// those of this run, null once they are gone.
std::optional<qint32> HandleInstanceMessage(TfrmEngineWnd* engine, TfrmMainForm* form, quint32 message, qint32 wParam,
                                            const QByteArray& payload)
{
    if (message == WM_ALLUSERS_RESTART) {
        if (!engine)
            return std::nullopt;
        // Posted, not sent: the sender does not wait for the restart.
        engine->PostAllUsersRestart(wParam != 0);
        return 0;
    }
    if (!form)
        return std::nullopt;
    switch (message) {
    case WM_INSTANCE_QUERY_ID:
        return form->WMInstanceQueryId();
    case WM_INSTANCE_CLOSE:
        qCInfo(lcApp) << "instance: close requested";
        form->WMInstanceClose();
        return 0;
    case WM_INSTANCE_RAISE:
        qCInfo(lcApp) << "instance: raise requested";
        ForceForegroundWindow(form);
        return 0;
    case WM_COPYDATA:
        // A second start hands over its first argument; it is accepted and not acted on.
        qCInfo(lcApp) << "instance: copy data of" << payload.size() << "bytes";
        return 0;
    case WM_DROPFILES:
        form->WMDropFiles(QString::fromLocal8Bit(payload).split(u'\n', Qt::SkipEmptyParts));
        return 0;
    default:
        qCInfo(lcApp) << "instance: unknown message" << message << "ignored";
        return 0;
    }
}

// Ends the program the way the session's end does: the window closes for good, storing its
// quick settings on the way.
void EndForSession(TfrmMainForm* form)
{
    if (!form) {
        QCoreApplication::quit();
        return;
    }
    form->WMEndSession();
    form->close();
}

int RunFirstInstance(int& argc, char** argv, platform::UnixInstanceChannel& channel, bool autorun, bool useTor,
                     const QElapsedTimer& sinceStart)
{
    UseSoftwareWebRendering();
    UseFewerWebEngineHelpers();
    QApplication app(argc, argv);
    EndWebRenderingSetup();
    // The main window hides into the tray and message boxes come and go while it is hidden; the
    // program ends only when the main window closes for good.
    QApplication::setQuitOnLastWindowClosed(false);

    // The browsers outlive the engine, which puts the log-in guard in front of them and lends them its
    // message box while it lives.
    DesktopBrowsers browsers(*Settings());
    auto engine = std::make_unique<Engine>(*Settings(), browsers);
    if (!engine->StartSucceeded())
        return 1;
    // Code that has no window to hand it the services tells its failures through the program's message box.
    SetEngineServices(&engine->Services());
    if (useTor) {
        // As if the user had ticked the option: kept for later starts, in force before the window can hide.
        engine->Services().WriteGuard()([](TSettings& store) { store.WriteBool(QStringLiteral("UseTor"), true); });
        engine->ProxyManager()->SwitchExitRoute(true);
    }

    std::unique_ptr<TfrmMainForm> mainForm;
    try {
        mainForm = std::make_unique<TfrmMainForm>(engine->Window());
    } catch (const ESettingsError& error) {
        // The settings folder became unusable after it was chosen (a full or vanished disk).
        engine->Services().ShowPlainMessage(QString::fromLocal8Bit(error.what()), TEngineServices::mtError);
        SetEngineServices(nullptr);
        return 1;
    }
    TMainWindowWatch watch(mainForm.get(), sinceStart);
    // Handlers that may still run while the program winds down find the windows gone, not dangling.
    const QPointer<TfrmEngineWnd> engineWindow(&engine->Window());
    const QPointer<TfrmMainForm> mainWindow(mainForm.get());

    platform::SessionEndWatcher sessionEnd;
    QObject::connect(&sessionEnd, &platform::SessionEndWatcher::terminationRequested, &app,
                     [mainWindow] { EndForSession(mainWindow); });
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app, [mainWindow] {
        if (mainWindow)
            mainWindow->WMEndSession();
    });

    channel.serve([engineWindow, mainWindow](quint32 message, qint32 wParam, const QByteArray& payload) {
        return HandleInstanceMessage(engineWindow, mainWindow, message, wParam, payload);
    });
    // Browser companions keep their host's connection open for commands (same user only, as every
    // message on the channel).
    channel.serveSessions(WM_COMPANION_SESSION, [&browsers](int fd, const QByteArray& greeting) {
        browsers.companions().adopt(fd, greeting);
    });

    // A log-on start keeps the window in the tray. Without a tray the hidden window could never be
    // reached again, so it waits minimised in the task bar instead.
    if (!autorun)
        mainForm->show();
    else if (!mainForm->TrayAvailable())
        mainForm->showMinimized();
    const int code = QApplication::exec();

    // The windows go before the settings store, so nothing they do on the way out finds it gone.
    mainForm.reset();
    // Each companion gives its browser the user's own proxy setting back as its host's line ends.
    browsers.companions().closeAll();
    SetEngineServices(nullptr);
    engine.reset();
    return code;
}

void OpenSettings()
{
    InitSettings();
}

void CloseSettings()
{
    DoneSettings();
}

// The version comes from the constants beside the executable, so an install that lost them shows
// here instead of at the first window.
int PrintVersion()
{
    const QString version = Settings()->VersionText();
    if (version.isEmpty()) {
        std::fprintf(stderr, "veilport: no App.Ver in %sconst.dat\n", qPrintable(Settings()->ProgramFolder()));
        return 1;
    }
    std::printf("Veilport %s\n", qPrintable(version));
    return 0;
}

} // namespace

int RunApplication(int& argc, char** argv)
{
    QElapsedTimer sinceStart;
    sinceStart.start();
    platform::RaiseOpenFileLimit(); // the proxy tests hold a socket each, thousands at once
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);

    // The informational options end before anything looks for a running copy.
    if (HasHelpOption(args)) {
        std::fputs(qPrintable(UsageText(QFileInfo(QString::fromLocal8Bit(argv[0])).fileName())), stdout);
        return 0;
    }
    OpenSettings();
    if (HasVersionOption(args)) {
        const int code = PrintVersion();
        CloseSettings();
        return code;
    }
    platform::UnixInstanceChannel channel;

    if (HasRestoreDesktopOption(args)) {
        // No window: the log-in guard runs before the session is fully up and ends at once.
        QCoreApplication app(argc, argv);
        platform::XdgAutostart autostart;
        DesktopBrowsers browsers(*Settings());
        const int code = RestoreDesktop(channel, autostart, browsers.routines());
        CloseSettings();
        return code;
    }
    if (HasStopSwitch(args)) {
        CloseRunningInstance(channel);
        CloseSettings();
        return 0;
    }
    if (HasRestartSwitch(args)) {
        CloseRunningInstance(channel);
        // The old copy needs a moment to end and give up its name.
        std::this_thread::sleep_for(std::chrono::milliseconds(kRestartPauseMs));
    }

    int code = 0;
    if (channel.claim(InstanceName())) {
        code = RunFirstInstance(argc, argv, channel, HasAutorunSwitch(args), HasTorSwitch(args), sinceStart);
    } else {
        RaiseRunningInstance(channel);
        if (ShouldHandOverFirstArgument(args))
            SendToRunningInstance(channel, args.front());
    }
    CloseSettings();
    return code;
}
