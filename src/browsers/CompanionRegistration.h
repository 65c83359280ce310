#pragma once

#include <QString>
#include <QStringList>

// The native messaging host's registration for the current user: one manifest per browser, naming
// the host executable beside the program and allowing exactly the companion's extension ids.
// Uninstalling the program leaves these files; they are the only ones it writes into the browsers'
// folders (~/.mozilla/native-messaging-hosts/ and <config>/<browser>/NativeMessagingHosts/).
class CompanionRegistration
{
public:
    struct Result
    {
        QStringList registered; // manifest files written
        QStringList failed;     // manifest files that could not be written, with the reason
    };

    // Writes the manifests for Firefox and Chromium always, and for Google Chrome, Brave and Vivaldi
    // where their configuration folder exists. home and configHome default to the user's.
    static Result registerHost(const QString& hostExecutable, const QString& home = QString(),
                               const QString& configHome = QString());
    // The manifest Firefox reads.
    static QString firefoxManifest(const QString& home);
    // The manifest a Chromium-family browser reads, its configuration folder given.
    static QString chromiumManifest(const QString& browserConfigFolder);
};
