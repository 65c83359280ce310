#include "ui/InfoPagePane.h"
#include "ui/InfoPageView.h"

#include "support/Wait.h"
#include "support/TempDir.h"

#include <QPointer>
#include <QSignalSpy>
#include <QUrl>

#include <gtest/gtest.h>

using testsupport::waitUntil;

// The real web engine: the view is made when the window shows, shows the page opened before, survives a
// short hide, is released after a longer hide or a minimise, and comes back with the same page.
TEST(InfoPagePane, TheWebViewLivesOnlyWhileTheWindowCanBeSeenAndComesBackWithItsPage)
{
    testsupport::TempDir dir;
    const QString page = QUrl::fromLocalFile(dir.write(QStringLiteral("info.html"), "<p>info</p>")).toString();
    QWidget window;
    window.resize(300, 100);
    auto* pane = new InfoPagePane(&window);
    pane->setGeometry(0, 0, 300, 100);
    pane->setReleaseDelay(500);
    QSignalSpy released(pane, &InfoPagePane::viewReleased);

    pane->OpenUrl(page);
    pane->OpenUrl(QString()); // ignored: the page stays
    waitUntil([] { return false; }, 200);
    EXPECT_EQ(pane->view(), nullptr) << "a window never shown starts no web engine";

    const auto showsThePage = [&] {
        if (!waitUntil([&] { return pane->view() != nullptr; }, 5000))
            return false;
        QSignalSpy loaded(pane->view(), &QWebEngineView::loadFinished);
        return (pane->view()->url() == QUrl(page) && !pane->view()->page()->isLoading()) ||
               (loaded.wait(30000) && pane->view()->url() == QUrl(page));
    };
    window.show();
    ASSERT_TRUE(showsThePage());
    EXPECT_EQ(pane->view()->geometry(), pane->rect());

    // Closed and opened again at once: the same view, no reload.
    QPointer<InfoPageView> first = pane->view();
    window.hide();
    waitUntil([] { return false; }, 100);
    window.show();
    waitUntil([] { return false; }, 800);
    EXPECT_EQ(pane->view(), first.data());
    EXPECT_EQ(released.count(), 0);

    window.hide();
    ASSERT_TRUE(waitUntil([&] { return pane->view() == nullptr && first.isNull(); }, 5000));
    EXPECT_EQ(released.count(), 1);

    window.show();
    ASSERT_TRUE(showsThePage()) << "the page comes back when the window shows again";

    window.showMinimized();
    EXPECT_TRUE(waitUntil([&] { return pane->view() == nullptr; }, 5000)) << "a minimised window lets go too";
}
