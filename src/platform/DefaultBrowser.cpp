#include "platform/DefaultBrowser.h"

#include "platform/ProcessRunner.h"
#include "util/SPTools.h"

#include <QStringList>

namespace platform {

namespace {

// Replaces every "%1" (and "%s", the placeholder of $BROWSER) in one pass, so that a URL which
// itself holds such a text is inserted unchanged.
QString fillUrl(const QString& arg, const QString& url, bool& placed)
{
    QString result;
    for (int i = 0; i < arg.size(); ++i) {
        if (arg[i] == u'%' && i + 1 < arg.size() && (arg[i + 1] == u'1' || arg[i + 1] == u's')) {
            result += url;
            placed = true;
            ++i;
        } else {
            result += arg[i];
        }
    }
    return result;
}

} // namespace

bool LaunchDefaultBrowser(ProcessRunner& processes, const QString& url)
{
    // A text starting with "-" would reach the browser command as one of its options.
    if (url.startsWith(u'-'))
        return false;
    // $BROWSER may list several commands separated by ":"; the first one that starts is used.
    QStringList commands = qEnvironmentVariable("BROWSER").split(u':', Qt::SkipEmptyParts);
    if (commands.isEmpty())
        commands.append(QStringLiteral("xdg-open %1"));
    for (const QString& commandText : commands) {
        // The URL is put into the argument vector after splitting, so no character in it can
        // change how the command is split.
        QStringList args = SplitCommandLine(commandText);
        if (args.isEmpty() || args.first().isEmpty())
            continue;
        bool placed = false;
        for (QString& arg : args)
            arg = fillUrl(arg, url, placed);
        if (!placed)
            args.append(url);
        const QString program = args.takeFirst();
        if (processes.startDetached(program, args))
            return true;
    }
    return false;
}

} // namespace platform
