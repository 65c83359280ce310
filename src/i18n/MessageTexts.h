#pragma once

#include <QStringList>

// The texts the program looks up in a language's ResString section. Most are keys whose English
// words live in English.lan; the sentences are passed in their finished English form, so they show
// as they are until a language translates them. Code that shows one of these texts names it from
// here, so a language file can be checked against what the program really asks for.
namespace MessageText {

// Keys.
inline constexpr char kAppName[] = "strAppName";
inline constexpr char kHaveToCurrentUser[] = "MSGBOX_HavetoCurrentUser";
inline constexpr char kSetAllUsers[] = "MSGBOX_SetAllUsers";
inline constexpr char kSetCurrentUser[] = "MSGBOX_SetCurrentUser";
inline constexpr char kSettingsNotSaved[] = "MSGBOX_SettingsNotSaved";
inline constexpr char kDownloadingProxyList[] = "TEXT_DOWNLOADINGPROXYLIST";
inline constexpr char kTestProxy[] = "TEXT_TESTPROXY";

// Sentences. %1 is filled in by FormatArgs.
inline constexpr char kNotHiding[] = "Warning! You are currently not hiding your real IP!";
inline constexpr char kHiding[] = "You are hiding your real ip %1";
inline constexpr char kCookiesCleared[] = "Your cookies have been cleared";
inline constexpr char kTrayNotice[] = "Veilport will be minimized to the system tray. To exit please right click on "
                                      "the tray icon and choose \"Exit\".";
inline constexpr char kNewCountry[] =
    "Please click \"Stop Hide\" and then \"Hide\" again to use the new IP country you chose.";
inline constexpr char kExtensionInstalled[] = "The extension has installed successful";
inline constexpr char kSpecificationWrong[] = "Your specification is not correct!";

} // namespace MessageText

/// Every text of the ResString section that the program looks up: the keys and sentences above,
/// and those the update check (MSGBOX_AutoCheckUpdate, MSGBOX_LastVersionAlready, ERRORMSG_1011)
/// and the browser routines (the system proxy failure) pass, which live below this library.
QStringList KnownMessageTexts();
