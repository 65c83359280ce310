#include "config/BlockingOptions.h"

#include "config/TSettings.h"

#include <QtGlobal>

namespace {

const QString kBlockWhenNoProxy = QStringLiteral("BlockWhenNoProxy");
const QString kRetryInterval = QStringLiteral("Proxy.RetryInterval");

} // namespace

BlockingOptions BlockingOptions::fromSettings(const TSettings& settings)
{
    BlockingOptions options;
    options.blockWhenNoProxy = settings.ReadBool(kBlockWhenNoProxy, false);
    // A distributor's zero or negative value would make the search run without pause.
    options.retryIntervalMs = qBound(1, settings.GetConstInt(kRetryInterval, 60), 86400) * 1000;
    return options;
}

void BlockingOptions::writeBlockWhenNoProxy(TSettings& settings, bool block)
{
    settings.WriteBool(kBlockWhenNoProxy, block);
}
