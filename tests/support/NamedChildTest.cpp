// Tests find a window's components by object name. A name that reaches no component of that type, or two of
// them, must fail the test that asked, and the test must be able to go on without touching a null pointer.
#include "support/NamedChild.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QWidget>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

using testsupport::child;

namespace {

// A window shaped like the program's: named components nested in panels, actions and a menu owned by it.
struct Window
{
    Window()
    {
        window.setObjectName(QStringLiteral("frmWindow"));
        panel->setObjectName(QStringLiteral("spPanel"));
        address->setObjectName(QStringLiteral("lbIP"));
        hide->setObjectName(QStringLiteral("acHide"));
        languages->setObjectName(QStringLiteral("miChangeLanguage"));
    }

    QWidget window;
    QWidget* panel = new QWidget(&window);
    QLabel* address = new QLabel(panel);
    QAction* hide = new QAction(&window);
    QMenu* languages = new QMenu(&window);
};

} // namespace

TEST(NamedChild, FindsNestedComponentsOfEveryKindByName)
{
    Window w;
    EXPECT_EQ(child<QLabel>(w.window, "lbIP"), w.address);
    EXPECT_EQ(child<QAction>(w.window, "acHide"), w.hide);
    EXPECT_EQ(child<QMenu>(w.window, "miChangeLanguage"), w.languages);
    EXPECT_EQ(child<QWidget>(w.window, "spPanel"), w.panel);
}

TEST(NamedChild, AWrongNameOrTypeFailsTheTestAndLeavesAStandInToGoOnWith)
{
    Window w;
    QLabel* found = nullptr;
    EXPECT_NONFATAL_FAILURE(found = child<QLabel>(w.window, "lbIp"), "frmWindow has 0 QLabel named \"lbIp\"");
    ASSERT_NE(found, nullptr);
    EXPECT_NE(found, w.address);
    found->setText(QStringLiteral("written into the stand-in"));
    EXPECT_EQ(w.address->text(), QString());
    // The stand-in does not turn the wrong name into a right one.
    EXPECT_NONFATAL_FAILURE(child<QLabel>(w.window, "lbIp"), "has 0 QLabel named \"lbIp\"");
    EXPECT_NONFATAL_FAILURE(child<QAction>(w.window, "lbIP"), "has 0 QAction named \"lbIP\"");
    // The component itself is still found.
    EXPECT_EQ(child<QLabel>(w.window, "lbIP"), w.address);
}

TEST(NamedChild, TwoComponentsUnderOneNameFailTheTest)
{
    // As when a dialog the window owns names one of its components like one of the window's.
    Window w;
    auto* dialog = new QWidget(&w.window, Qt::Dialog);
    auto* second = new QLabel(dialog);
    second->setObjectName(QStringLiteral("lbIP"));
    QLabel* found = nullptr;
    EXPECT_NONFATAL_FAILURE(found = child<QLabel>(w.window, "lbIP"), "frmWindow has 2 QLabel named \"lbIP\"");
    EXPECT_NE(found, w.address);
    EXPECT_NE(found, second);
}
