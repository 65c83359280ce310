#include "i18n/MessageTexts.h"

QStringList KnownMessageTexts()
{
    using namespace MessageText;
    QStringList texts;
    for (const char* text : {kAppName,
                             kHaveToCurrentUser,
                             kSetAllUsers,
                             kSetCurrentUser,
                             kSettingsNotSaved,
                             kDownloadingProxyList,
                             kTestProxy,
                             kNotHiding,
                             kHiding,
                             kCookiesCleared,
                             kTrayNotice,
                             kNewCountry,
                             kExtensionInstalled,
                             kSpecificationWrong,
                             kCookiesClearedIn,
                             kNoCookiesCleared,
                             kNotCleared,
                             kOwnWebView,
                             kClearedByCompanion,
                             kClearedClosedProfile,
                             kNoCompanionToClear,
                             kInUseByBrowser,
                             kCompanionNoAnswer,
                             kCompanionDisconnected,
                             kCompanionFailed,
                             kFirefoxOpened,
                             kFirefoxNotStarted,
                             kSignedExtensionsOnly,
                             kFirefoxCompanionConnected,
                             kNoFirefoxCompanion,
                             kChromiumLoadUnpacked,
                             kChromiumCompanionConnected,
                             kNoChromiumCompanion,
                             kWebBlockedTitle,
                             kConnectingTor,
                             kWebBlockedPage,
                             kWebBlocked,
                             kWebRtcNeedsCompanion,
                             kWebRtcUnprotected,
                             kStillLooking})
        texts << QString::fromUtf8(text);
    // Looked up by the update check and the browser routines, which do not link this library.
    texts << QStringLiteral("MSGBOX_AutoCheckUpdate") << QStringLiteral("MSGBOX_LastVersionAlready")
          << QStringLiteral("ERRORMSG_1011")
          << QStringLiteral("Setting the desktop proxy failed. Please restart Veilport to try again.");
    return texts;
}
