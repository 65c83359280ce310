// libFuzzer target: any bytes as a downloaded proxy list, then as the list file read back.
// Whatever arrives, parsing must neither crash nor leave records that disagree with the lookups.

#include "proxy/BrowserControl.h"
#include "proxy/TProxyManager.h"
#include "util/EngineServices.h"

#include <QCoreApplication>
#include <QDir>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int argc = 1;
    static char name[] = "list_parser_fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("veilport.proxy.debug=false"));
    static NullBrowserControl browsers;
    // One manager for every input, so re-parsing over earlier records is exercised too.
    static TEngineServices quiet;
    static TProxyManager manager(browsers, quiet, QString());
    // The list file is synced on every save; in memory-backed storage that costs nothing.
    static QTemporaryDir dir(QDir(QStringLiteral("/dev/shm")).exists()
                                 ? QStringLiteral("/dev/shm/list_parser_fuzz-XXXXXX")
                                 : QDir::tempPath() + QStringLiteral("/list_parser_fuzz-XXXXXX"));

    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    manager.ProxyListReceived(QString::fromUtf8(bytes));

    if (manager.Proxies().size() > TProxyManager::kMaxProxyCount)
        std::abort();
    for (const QString& country : manager.Countries()) {
        TProxyRec rec;
        int working = 0;
        int others = 0;
        // Every listed country comes from a record, so a record of exactly that name exists.
        if (!manager.FindProxyByCountry(country, rec) || !manager.CountProxies(country, working, others))
            std::abort();
        if (rec.Country != country || working + others <= 0)
            std::abort();
    }

    // The list file holds the same text and parses to the same result.
    const QString file = dir.filePath(QStringLiteral("proxylist.lst"));
    manager.SaveToFile(file);
    const QStringList raw = manager.RawList();
    const QStringList countries = manager.Countries();
    if (!manager.LoadFromFile(file))
        std::abort();
    if (manager.Countries() != countries)
        std::abort();
    if (manager.RawList() != raw)
        std::abort();
    return 0;
}
