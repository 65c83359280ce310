#include "SourceFetcher.h"

#include "AddressScreen.h"

#include "net/HttpClient.h"
#include "util/MainThreadQueue.h"

#include <QFile>
#include <QUrl>

#include <thread>

namespace {

bool isUrl(const QString& location)
{
    return location.startsWith(QLatin1String("http://"), Qt::CaseInsensitive) ||
           location.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
}

// Reads at most maxBytes + 1 bytes, so a file that never ends (a device, a growing log) is cut and
// reported as too large instead of filling memory.
QByteArray readCapped(const QString& path, qint64 maxBytes, QString& error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(path, f.errorString());
        return {};
    }
    QByteArray data;
    char buffer[65536];
    while (data.size() <= maxBytes) {
        const qint64 n = f.read(buffer, qint64(sizeof(buffer)));
        if (n < 0) {
            error = QStringLiteral("cannot read %1: %2").arg(path, f.errorString());
            return {};
        }
        if (n == 0)
            break;
        data.append(buffer, n);
    }
    if (data.size() > maxBytes) {
        error = QStringLiteral("larger than its size cap of %1 bytes").arg(maxBytes);
        return {};
    }
    return data;
}

} // namespace

SourceFetcher::SourceFetcher(QList<SourceSetting> sources, int maxEntriesPerSource, bool allowPrivateAddresses,
                             QObject* parent)
    : QObject(parent), m_sources(std::move(sources)), m_maxEntries(maxEntriesPerSource),
      m_allowPrivate(allowPrivateAddresses), m_self(std::make_shared<SourceFetcher*>(this))
{
    m_slots.resize(size_t(m_sources.size()));
    for (int i = 0; i < m_sources.size(); ++i) {
        auto timer = std::make_unique<QTimer>();
        timer->setInterval(int(std::min<qint64>(qint64(m_sources[i].refreshSec) * 1000, INT_MAX)));
        connect(timer.get(), &QTimer::timeout, this, [this, i] { fetch(i); });
        m_slots[size_t(i)].timer = std::move(timer);
    }
}

SourceFetcher::~SourceFetcher()
{
    *m_self = nullptr; // late results find nobody (both are touched on this thread only)
    for (Slot& slot : m_slots) {
        if (slot.abort)
            slot.abort->store(true);
    }
}

void SourceFetcher::start()
{
    for (int i = 0; i < m_sources.size(); ++i) {
        m_slots[size_t(i)].timer->start();
        fetch(i);
    }
}

void SourceFetcher::fetch(int index)
{
    Slot& slot = m_slots[size_t(index)];
    if (slot.busy)
        return; // a slow source is not asked twice at once
    slot.busy = true;
    slot.abort = std::make_shared<std::atomic_bool>(false);
    const SourceSetting setting = m_sources[index];
    // A source that trickles its answer is cut after this long, like one that never answers.
    QTimer::singleShot(kFetchTimeoutMs, this, [abort = slot.abort] { abort->store(true); });
    std::weak_ptr<SourceFetcher*> self = m_self;
    const bool screen = !setting.trusted && !m_allowPrivate;
    std::thread([setting, index, self, abort = slot.abort, maxEntries = m_maxEntries, screen] {
        QByteArray body;
        QString error;
        if (isUrl(setting.location)) {
            HttpClient client;
            client.setMaxBodySize(setting.maxBytes);
            client.setAbortFlag(abort);
            const HttpResponse response = client.get(setting.location);
            if (response.ok)
                body = response.body;
            else if (abort->load())
                error = QStringLiteral("no complete answer within %1 s").arg(kFetchTimeoutMs / 1000);
            else
                error =
                    response.error.isEmpty() ? QStringLiteral("HTTP status %1").arg(response.status) : response.error;
        } else {
            body = readCapped(setting.location, setting.maxBytes, error);
        }
        // Parsed here too: a large list never stalls the requests the service answers meanwhile.
        SourceParseResult result;
        if (error.isEmpty())
            result = ParseSourceText(setting.format, body, maxEntries);
        else
            result.error = error;
        // Names are resolved here as well, off the thread that answers requests.
        const int refused = screen && result.error.isEmpty() ? KeepGlobalEntries(result.entries, *abort) : 0;
        PostToMainThread([self, index, result = std::move(result), refused] {
            if (const auto owner = self.lock(); owner && *owner)
                (*owner)->finish(index, result, refused);
        });
    }).detach();
}

void SourceFetcher::finish(int index, const SourceParseResult& result, int refused)
{
    m_slots[size_t(index)].busy = false;
    m_slots[size_t(index)].abort.reset();
    if (!result.error.isEmpty())
        emit sourceFailed(index, result.error);
    else
        emit sourceFetched(index, result, refused);
}
