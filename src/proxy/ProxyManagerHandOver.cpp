// How a test run's proxies reach the tester: in slices of a few milliseconds each, one per turn of the event loop.
// Ten thousand hand-overs take the window's thread longer than a frame, and longer still on a busy machine.
#include "proxy/TProxyManager.h"

#include <QElapsedTimer>
#include <QMetaObject>

namespace {
// An eighth of a frame: on a busy machine a slice may be stretched several times over by other processes.
constexpr qint64 kSliceNs = 2'000'000;
// The clock is read once in this many hand-overs; a hand-over takes about a microsecond.
constexpr int kClockStride = 64;
} // namespace

void TProxyManager::HandOverSlice(quint64 run, qsizetype from)
{
    TProxyTester& tester = *m_tester;
    m_handOverNext = -1;
    // A later run, Stop Hide or the cut after enough results (the tester stopped) ends this hand-over.
    if (run != m_handOverRun || tester.Stopped())
        return;
    const quint64 list = m_listGeneration;
    const bool everyCountry = m_country == kAutoSelected;
    QElapsedTimer slice;
    slice.start();
    qsizetype i = from;
    // Immediate reports may select and apply during the loop; they never change Proxies, but iterate by index.
    for (int handed = 0; i < m_proxies.size() && !tester.Stopped(); ++i) {
        if (handed > 0 && handed % kClockStride == 0 && slice.nsecsElapsed() > kSliceNs) {
            // Results that arrive before the next slice do not end the run early.
            m_handOverNext = i;
            emit progress(tester.Total, tester.Done);
            QMetaObject::invokeMethod(
                this,
                [this, run, list, i] {
                    if (run != m_handOverRun)
                        return;
                    // A new list renumbered the records: the run ends with what it was handed.
                    HandOverSlice(run, list == m_listGeneration ? i : m_proxies.size());
                },
                Qt::QueuedConnection);
            return;
        }
        const TProxyRec rec = m_proxies.at(i);
        if (!everyCountry && rec.Country != m_country)
            continue;
        ++handed;
        ++tester.Total;
        const qsizetype colon = rec.Proxy.indexOf(QLatin1Char(':'));
        const QString host = colon < 0 ? rec.Proxy : rec.Proxy.left(colon);
        bool ok = false;
        int port = colon < 0 ? 0 : rec.Proxy.mid(colon + 1).toInt(&ok);
        if (!ok)
            port = 80;
        tester.TestProxy(int(i), host, port, rec.Kind, rec.Status == TProxyRec::stPassed);
    }
    emit progress(tester.Total, tester.Done);
    // Every test may have reported while later proxies were still to be handed over; the run ends here then.
    if (from > 0 && !tester.Stopped() && tester.Total > 0 && tester.Done == tester.Total)
        SelectProxy();
}
