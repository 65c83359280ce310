#pragma once

#include <QString>

namespace platform {

class ProcessRunner;

// Opens url in the user's browser: $BROWSER (first entry that starts) or "xdg-open %1"; "%1" in
// the command is replaced by url, else url is appended as one more argument. Started detached
// through processes; the result tells whether the process started. A url starting with "-" (which
// the command would take for an option) starts nothing.
bool LaunchDefaultBrowser(ProcessRunner& processes, const QString& url);

} // namespace platform
