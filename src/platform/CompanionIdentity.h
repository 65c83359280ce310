#pragma once

#include <QLatin1StringView>

// Who the browser companion is: the names the browsers and the program must agree on.
namespace platform::companion {

// The native messaging host's name, as the extension asks for it and the host manifests are named.
inline constexpr QLatin1StringView HostName("org.veilport.companion");
// The host executable beside the program.
inline constexpr QLatin1StringView HostExecutable("veilport-companion-host");
// The Firefox extension's id (its manifest's gecko id).
inline constexpr QLatin1StringView FirefoxExtensionId("companion@veilport.org");
// The Chromium extension's id, fixed by the public key in its manifest.
inline constexpr QLatin1StringView ChromiumExtensionId("ccbngllkjdfgdnclhoncgdgjbenohjmc");
// The Firefox package and the unpacked Chromium folder beside the program.
inline constexpr QLatin1StringView FirefoxPackage("evport.xpi");
inline constexpr QLatin1StringView ChromiumFolder("companion-chromium");

} // namespace platform::companion
