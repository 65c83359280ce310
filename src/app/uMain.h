#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace platform {
class InstanceChannel;
}

// How long a second start waits for the running copy to answer one message. The running copy
// answers from its event loop, so this also bounds the wait on a copy that hangs.
constexpr int kInstanceAnswerTimeoutMs = 10000;
// The restarter's pause between asking the old copy to close and starting itself.
constexpr int kRestartPauseMs = 2000;

// The machine-wide name that marks the running copy: "Global\" + the constant App.GUID.
QString InstanceName();

// The running copy that answers WM_INSTANCE_QUERY_ID with App.ID: the name it holds, or none.
std::optional<QString> FindRunningInstance(platform::InstanceChannel& channel);
// Asks the running copy, if any, to close for good and waits until it has handled the request.
void CloseRunningInstance(platform::InstanceChannel& channel);
// Brings the running copy's main window to the front, if there is a running copy.
void RaiseRunningInstance(platform::InstanceChannel& channel);
// Hands a text (a second start's first argument) to the running copy, if any.
void SendToRunningInstance(platform::InstanceChannel& channel, const QString& text);

// The whole start-up and shutdown of the program; the process ends when it returns, with the
// returned exit code.
int RunApplication(int& argc, char** argv);
