#pragma once

#include <QString>

#include <functional>

class TSettings;

/// Runs writes of the settings store from the user-interface thread. A write that fails does not
/// leave the event handler that asked for it: it is traced and handed to the reporter (which tells
/// the user the first time in a session), and the program goes on.
class SettingsWriteGuard
{
public:
    /// Receives the reason of a failed write: the file and why.
    using Reporter = std::function<void(const QString& reason)>;

    SettingsWriteGuard(TSettings& settings, Reporter report);

    /// Runs one write; returns whether it succeeded.
    bool operator()(const std::function<void(TSettings& settings)>& write) const;

private:
    TSettings& m_settings;
    Reporter m_report;
};
