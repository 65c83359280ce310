#pragma once

#include <QString>
#include <QStringList>

// Clears the cookies of browsers that are not running, straight in their profiles' cookie databases
// (Firefox's cookies.sqlite, the Chromium family's Cookies). A profile in use by a running browser is
// never touched: its browser keeps the cookies in memory and would write them back, and a database
// changed under it may be damaged. Links and names that lead outside the browsers' folders are skipped.
class ProfileCookieCleaner
{
public:
    struct Profile
    {
        QString label;     // "Firefox default-esr", "Chromium Default"
        QString database;  // the cookie database
        QString lockOwner; // the folder whose lock says the browser runs
        bool firefox = false;
        QString family; // the browser as its companion names itself: "firefox", "chromium", "brave"...
    };
    struct Skipped
    {
        QString text;   // "label: reason"
        QString family; // the profile's browser family
        bool inUse = false;
    };
    struct Result
    {
        QStringList cleared; // labels of profiles whose cookies were deleted
        QList<Skipped> skipped;
    };

    // The cookie databases of the user's Firefox and Chromium-family profiles; home and configHome
    // default to the user's.
    static QList<Profile> findProfiles(const QString& home = QString(), const QString& configHome = QString());
    // Deletes every cookie of each profile whose browser is not running. Blocks for the file work:
    // call it off the user-interface thread.
    static Result clear(const QList<Profile>& profiles);
    // Whether the profile's browser holds it now.
    static bool inUse(const Profile& profile);
};
