#pragma once

#include <functional>

class TSettings;

/// Runs one write of the settings store from the user-interface thread. A write that fails does not
/// leave the event handler that asked for it: it is traced and, the first time in a session, shown
/// to the user through the engine window, and the program goes on. Returns whether the write
/// succeeded; false too when there is no settings store.
bool GuardSettingsWrite(const std::function<void(TSettings& settings)>& write);
