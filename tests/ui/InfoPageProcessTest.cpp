#include "platform/ProcessProxy.h"
#include "ui/InfoPageProcess.h"
#include "ui/WebEngineUrlCache.h"

#include "support/LoopbackHttpResponder.h"
#include "support/ProcessTree.h"
#include "support/VirtualDisplay.h"
#include "support/Wait.h"

#include <QFileInfo>
#include <QSignalSpy>

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

using testsupport::LoopbackHttpResponder;
using testsupport::waitUntil;

namespace {

// The program's side of the X display: a window of our own for the helper's page to go inside.
class ProgramWindow
{
public:
    bool open(const QString& display, QSize size)
    {
        m_connection = xcb_connect(display.toLocal8Bit().constData(), nullptr);
        if (xcb_connection_has_error(m_connection))
            return false;
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
        m_window = xcb_generate_id(m_connection);
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, m_window, screen->root, 0, 0, size.width(), size.height(),
                          0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
        xcb_map_window(m_connection, m_window);
        return xcb_flush(m_connection) > 0;
    }
    ~ProgramWindow()
    {
        if (m_connection)
            xcb_disconnect(m_connection);
    }
    WId id() const { return m_window; }
    // The size of every mapped window inside ours.
    QList<QSize> mappedChildren() const
    {
        QList<QSize> sizes;
        auto* tree = xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, m_window), nullptr);
        if (!tree)
            return sizes;
        const xcb_window_t* children = xcb_query_tree_children(tree);
        for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
            auto* attributes = xcb_get_window_attributes_reply(
                m_connection, xcb_get_window_attributes(m_connection, children[i]), nullptr);
            auto* geometry = xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, children[i]), nullptr);
            if (attributes && geometry && attributes->map_state == XCB_MAP_STATE_VIEWABLE)
                sizes << QSize(geometry->width, geometry->height);
            std::free(attributes);
            std::free(geometry);
        }
        std::free(tree);
        return sizes;
    }

private:
    xcb_connection_t* m_connection = nullptr;
    xcb_window_t m_window = 0;
};

// The helper must find the display, as it does in the program; the test itself stays offscreen.
class DisplayEnvironment
{
public:
    explicit DisplayEnvironment(const QString& display)
        : m_display(qgetenv("DISPLAY")), m_platform(qgetenv("QT_QPA_PLATFORM"))
    {
        qputenv("DISPLAY", display.toLocal8Bit());
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    ~DisplayEnvironment()
    {
        qputenv("DISPLAY", m_display);
        qputenv("QT_QPA_PLATFORM", m_platform);
    }

private:
    QByteArray m_display;
    QByteArray m_platform;
};

QString cookieEntry(const WebEngineUrlCache& cache)
{
    for (const platform::UrlCacheEntry& entry : cache.entries())
        if (entry.entryType & platform::UrlCache::CookieEntry)
            return entry.sourceUrl;
    return QString();
}

} // namespace

// The info page's helper as the program runs it: its page sits inside the window it was given, is fetched through
// the process proxy (and said to be loaded) and follows a change of it, and its cookies reach the program's cookie
// clearing, which deletes them in the helper. Let go, the helper ends, and every process of its web engine with it.
TEST(InfoPageProcess, ShowsThePageInsideTheProgramsWindowThroughTheProcessProxyAndEndsWithItsEngine)
{
    if (!testsupport::VirtualDisplay::toolsInstalled())
        GTEST_SKIP() << "Xvfb or xdotool is not installed (run scripts/setup)";
    const QString helper = qEnvironmentVariable("VEILPORT_BIN_DIR") + QStringLiteral("/veilport-infopage");
    ASSERT_TRUE(QFileInfo(helper).isExecutable()) << helper.toStdString();
    testsupport::VirtualDisplay display;
    ASSERT_TRUE(display.start()) << display.errorText().toStdString();
    ProgramWindow window;
    ASSERT_TRUE(window.open(display.name(), QSize(320, 120)));
    // Two proxies, each playing the site too: a page reaches the site only through one of them, as its name is
    // nowhere to be found.
    LoopbackHttpResponder proxies;
    ASSERT_TRUE(proxies.listen(2));
    proxies.setReply(200, "<html><body>what a site sees</body></html>", "text/html", "Set-Cookie: seen=1; Path=/\r\n");
    proxies.recordVisits();
    proxies.start();
    const auto visitsTo = [&](const QByteArray& path) {
        QList<LoopbackHttpResponder::Visit> found;
        for (const LoopbackHttpResponder::Visit& visit : proxies.visits())
            if (visit.request.startsWith("GET http://info.invalid" + path + " "))
                found << visit;
        return found;
    };
    const auto gone = [](qint64 pid) { return testsupport::processCommandLine(pid).isEmpty(); };

    ASSERT_TRUE(platform::setProcessProxy(proxies.hostPort(0)));
    DisplayEnvironment environment(display.name());
    auto* process = new InfoPageProcess;
    WebEngineUrlCache cache(nullptr);
    cache.attach(process);
    QSignalSpy loaded(process, &InfoPageProcess::loadFinished);
    ASSERT_TRUE(process->start(helper, window.id(), QSize(320, 120)));
    const qint64 helperPid = process->processId();
    process->open(QStringLiteral("http://info.invalid/first"));

    ASSERT_TRUE(waitUntil([&] { return process->shown() && !visitsTo("/first").isEmpty(); }, 60000));
    EXPECT_EQ(visitsTo("/first").first().port, proxies.port(0));
    ASSERT_TRUE(waitUntil([&] { return !loaded.isEmpty(); }, 10000));
    EXPECT_TRUE(loaded.first().first().toBool()) << "the helper did not tell the page had loaded";
    EXPECT_TRUE(waitUntil([&] { return window.mappedChildren() == QList<QSize>{QSize(320, 120)}; }, 10000))
        << "the page is not inside the program's window";
    ASSERT_TRUE(waitUntil([&] { return !cookieEntry(cache).isEmpty(); }, 10000)) << "the page's cookie never arrived";
    EXPECT_TRUE(cache.deleteEntry(cookieEntry(cache)));
    EXPECT_TRUE(cookieEntry(cache).isEmpty());
    process->open(QStringLiteral("http://info.invalid/again"));
    ASSERT_TRUE(waitUntil([&] { return !visitsTo("/again").isEmpty(); }, 30000));
    EXPECT_EQ(visitsTo("/again").first().cookie, QByteArray()) << "the cleared cookie is still sent";

    // A new proxy: a new helper shows the page again, through the new proxy from its first request on.
    const QList<qint64> firstEngine = testsupport::descendantProcesses(helperPid) << helperPid;
    ASSERT_TRUE(platform::setProcessProxy(proxies.hostPort(1)));
    ASSERT_TRUE(waitUntil([&] { return visitsTo("/again").size() == 2; }, 30000));
    EXPECT_EQ(visitsTo("/again").last().port, proxies.port(1)) << "the page went by the old route";
    for (qint64 pid : firstEngine)
        EXPECT_TRUE(waitUntil([&] { return gone(pid); }, 15000)) << testsupport::processCommandLine(pid).toStdString();

    const qint64 secondPid = process->processId();
    const QList<qint64> engine = testsupport::descendantProcesses(secondPid) << secondPid;
    EXPECT_GT(engine.size(), 1) << "the page's processes are not the helper's";
    process->end();
    for (qint64 pid : engine)
        EXPECT_TRUE(waitUntil([&] { return gone(pid); }, 15000)) << testsupport::processCommandLine(pid).toStdString();
    EXPECT_EQ(cache.entries().size(), 2) << "cookies outlived their store";
}
