#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

namespace testsupport {

// A private X display (Xvfb) for tests that run a real program with its real windows and press its keys, as a
// user would, through xdotool:
//
//     VirtualDisplay display;
//     ASSERT_TRUE(display.start()) << display.errorText();
//     env.insert("DISPLAY", display.name());
//     env.insert("QT_QPA_PLATFORM", "xcb");
//     … start the program …
//     ASSERT_TRUE(display.pressKeys(program.processId(), "alt+t")) << display.errorText();
//
// The server takes the first free display number, runs without TCP and ends with the object (or the test).
class VirtualDisplay
{
public:
    VirtualDisplay();
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    // Whether Xvfb and xdotool are installed.
    static bool toolsInstalled();
    // Starts the server; false (with errorText()) when it is missing or does not come up in time.
    bool start();
    // ":<number>", the value for DISPLAY.
    QString name() const { return m_name; }
    // Gives the keyboard focus to the visible window of process pid (waiting up to timeoutMs for one to
    // appear) and types keys in xdotool's notation ("alt+t"); false, with errorText(), when that fails.
    bool pressKeys(qint64 pid, const QString& keys, int timeoutMs = 15000);
    // The visible (mapped) windows of process pid, as xdotool names them; empty when there are none.
    QStringList visibleWindows(qint64 pid);
    // Unmaps every visible window of process pid, as a window manager does that takes a window off the screen.
    bool unmapWindows(qint64 pid);
    QString errorText() const { return m_error; }

private:
    // Runs xdotool with args on this display; its output, or nothing (with m_error) when it fails.
    bool xdotool(const QStringList& args, QByteArray* output = nullptr);

    std::unique_ptr<QProcess> m_server;
    QString m_name;
    QString m_error;
};

} // namespace testsupport
