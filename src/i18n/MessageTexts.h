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

// What one "clear cookies" did, place by place. The reasons are those the companions' hub and the profile
// cleaner give after "place: ".
inline constexpr char kCookiesClearedIn[] = "Your cookies have been cleared in:";
inline constexpr char kNoCookiesCleared[] = "No cookies were cleared.";
inline constexpr char kNotCleared[] = "Not cleared:";
inline constexpr char kOwnWebView[] = "Veilport's own web view";
inline constexpr char kClearedByCompanion[] = "%1 (cookies, cache and history, through its companion)";
inline constexpr char kClearedClosedProfile[] = "%1 (cookies, browser closed)";
inline constexpr char kNoCompanionToClear[] = "No browser companion is connected: running browsers were not cleared.";
inline constexpr char kInUseByBrowser[] = "in use by the running browser";
inline constexpr char kCompanionNoAnswer[] = "no answer";
inline constexpr char kCompanionDisconnected[] = "disconnected";
inline constexpr char kCompanionFailed[] = "failed";

// Where an install command left the browser companions.
inline constexpr char kFirefoxOpened[] =
    "Firefox was opened with the Veilport companion (%1). Confirm the installation in Firefox.";
inline constexpr char kFirefoxNotStarted[] = "Firefox could not be started. The Veilport companion for Firefox is %1.";
inline constexpr char kSignedExtensionsOnly[] =
    "Release builds of Firefox install only signed extensions. Firefox ESR, Developer Edition and Nightly install "
    "this one once xpinstall.signatures.required is set to false in about:config.";
inline constexpr char kFirefoxCompanionConnected[] = "The Firefox companion is connected.";
inline constexpr char kNoFirefoxCompanion[] =
    "No Firefox companion is connected yet; until one is, Firefox follows the desktop proxy settings only.";
inline constexpr char kChromiumLoadUnpacked[] =
    "For Chromium, Google Chrome, Brave or Vivaldi: open chrome://extensions, switch on Developer mode, choose "
    "\"Load unpacked\" and select the folder %1.";
inline constexpr char kChromiumCompanionConnected[] = "A Chromium-family companion is connected.";
inline constexpr char kNoChromiumCompanion[] = "No Chromium-family companion is connected yet.";
// WebRTC, which no proxy setting covers.
inline constexpr char kWebRtcNeedsCompanion[] =
    "While you hide, only a browser with its Veilport companion keeps WebRTC from showing web pages your own "
    "address.";
inline constexpr char kWebRtcUnprotected[] = "WebRTC is not protected in %1.";

// While the web is blocked because no working proxy is left: the page every browser shows instead of a site
// (its title and sentence), and what the main window and the tray say.
inline constexpr char kWebBlockedTitle[] = "The web is blocked";
inline constexpr char kWebBlockedPage[] =
    "Veilport has no working proxy left, so it blocks the web rather than show your real IP address. It keeps "
    "looking for a working proxy and hides through it as soon as one passes. To browse without hiding, choose "
    "\"Stop Hide\" in Veilport.";
inline constexpr char kWebBlocked[] =
    "No working proxy is left: the web is blocked until one passes or you choose \"Stop Hide\".";
inline constexpr char kStillLooking[] = "No working proxy left. Still looking...";

// While Veilport's own tor connects to the Tor network; %1 is the share done.
inline constexpr char kConnectingTor[] = "Connecting to Tor: %1 %";

} // namespace MessageText

/// Every text of the ResString section that the program looks up: the keys and sentences above,
/// and those the update check (MSGBOX_AutoCheckUpdate, MSGBOX_LastVersionAlready, ERRORMSG_1011)
/// and the browser routines (the system proxy failure) pass, which live below this library.
QStringList KnownMessageTexts();
