// Languages and skins on real widgets (offscreen): the menus, the skin on every open window, the
// shipped language files on a program window and in the message dialog.
#include "i18n/TLanguageEngine.h"
#include "i18n/TSkinEngine.h"
#include "i18n/TSkinFile.h"
#include "i18n/TspAceMultiLang.h"
#include "support/TempDir.h"
#include "ui/LanguageMenu.h"
#include "ui/SkinApplier.h"
#include "ui/SkinMenu.h"
#include "ui/TLocalisation.h"
#include "ui/TMessageDialog.h"
#include "util/EngineServices.h"
#include "ui/TfrmAboutForm.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QPushButton>

#include <gtest/gtest.h>

namespace {

QByteArray skinBytes(const QString& style)
{
    TSkinFile skin;
    skin.styleSheet = style;
    return skin.Encode();
}

QStringList texts(const QList<QAction*>& actions)
{
    QStringList list;
    for (QAction* a : actions)
        list << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return list;
}

class Localisation : public ::testing::Test
{
protected:
    testsupport::TempDir dir;
    QStringList stored;
    TLocalisation::SettingWriter writer = [this](const QString& n, const QString& v) { stored << n + "=" + v; };

    void TearDown() override { qApp->setStyleSheet(QString()); }

    void copyShippedLanguage(const QString& name)
    {
        const QString source = qEnvironmentVariable("VEILPORT_SOURCE_DIR", VEILPORT_TEST_SOURCE_DIR);
        QFile f(source + "/data/langs/" + name + ".lan");
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << f.fileName().toStdString();
        dir.write("langs/" + name + ".lan", f.readAll());
    }
};

} // namespace

TEST_F(Localisation, LanguageMenuListsLanguagesDescendingAboveMoreLanguages)
{
    dir.write("langs/English.lan", "[info]\ntestver=beta\n[ResString]\nstrAppName=EN\n");
    dir.write("langs/Deutsch.lan", "[ResString]\nstrAppName=DE\n");
    TLanguageEngine engine(nullptr, dir.path(), writer);
    QMenu menu;
    menu.addSeparator();
    menu.addAction("&More Languages...");
    LanguageMenu languages(&menu, engine);
    EXPECT_EQ(languages.Fill(), 2);
    EXPECT_EQ(texts(menu.actions()), (QStringList{"English (beta)", "Deutsch", "-", "&More Languages..."}));
    EXPECT_EQ(languages.Entries().at(0)->toolTip(), "English");

    languages.Entries().at(0)->trigger();
    EXPECT_EQ(engine.CurrentLanguage(), "English");
    EXPECT_EQ(engine.LangText("strAppName"), "EN") << "the marked entry still loads English.lan";
    EXPECT_EQ(stored.last(), "Language=English");

    engine.SetLanguage("deutsch");
    emit menu.aboutToShow();
    EXPECT_FALSE(languages.Entries().at(0)->isChecked());
    EXPECT_TRUE(languages.Entries().at(1)->isChecked()) << "names are compared without case";
}

TEST_F(Localisation, SkinMenuStartsWithDefaultAndMarksTheCurrentSkin)
{
    dir.write("skins/Blue.skn", skinBytes("QWidget { background: blue; }"));
    dir.write("skins/aqua.skn", skinBytes("QWidget { background: aqua; }"));
    dir.write("skins/Default.skn", skinBytes("QWidget { background: gray; }"));
    TSkinEngine engine(dir.path(), writer);
    QMenu menu;
    SkinMenu skins(&menu, engine);
    EXPECT_EQ(skins.Fill(), 2);
    EXPECT_EQ(texts(menu.actions()), (QStringList{"&Default", "aqua", "Blue"}));
    EXPECT_EQ(skins.DefaultEntry()->objectName(), "miDefaultSkin");

    skins.Entries().at(1)->trigger();
    EXPECT_EQ(stored.last(), "Skin=Blue");
    emit menu.aboutToShow();
    EXPECT_FALSE(skins.DefaultEntry()->isChecked());
    EXPECT_FALSE(skins.Entries().at(0)->isChecked());
    EXPECT_TRUE(skins.Entries().at(1)->isChecked());

    skins.DefaultEntry()->trigger();
    EXPECT_EQ(stored.last(), "Skin=");
    emit menu.aboutToShow();
    EXPECT_TRUE(skins.DefaultEntry()->isChecked());
    EXPECT_FALSE(skins.Entries().at(1)->isChecked());

    engine.SetSkin("Default"); // a first start: the setting's default names Default.skn
    emit menu.aboutToShow();
    EXPECT_FALSE(skins.DefaultEntry()->isChecked());
    EXPECT_FALSE(skins.Entries().at(0)->isChecked());
    EXPECT_FALSE(skins.Entries().at(1)->isChecked());
}

TEST_F(Localisation, LanguageAndSkinMenusAreHiddenWithoutFiles)
{
    TLanguageEngine languageEngine(nullptr, dir.path(), writer);
    TSkinEngine skinEngine(dir.path(), writer);
    QMenu parent;
    QMenu* languageMenu = parent.addMenu("Change &Language");
    QMenu* skinMenu = parent.addMenu("Change &Skin");
    LanguageMenu languages(languageMenu, languageEngine);
    SkinMenu skins(skinMenu, skinEngine);
    EXPECT_EQ(languages.Fill(), 0);
    EXPECT_EQ(skins.Fill(), 0);
    EXPECT_FALSE(languageMenu->menuAction()->isVisible());
    EXPECT_FALSE(skinMenu->menuAction()->isVisible());
}

TEST_F(Localisation, SkinSwitchRestylesEveryOpenWindowAndCorruptFileChangesNothing)
{
    dir.write("skins/Red.skn", skinBytes("QWidget { background-color: #ff0000; }"));
    dir.write("skins/Green.skn", skinBytes("QWidget { background-color: #00ff00; }"));
    dir.write("skins/Corrupt.skn", QByteArray("VPSKIN1\n") + QByteArray(300, '\x07'));
    dir.write("skins/Empty.skn", QByteArray());
    TSkinEngine engine(dir.path(), writer);
    SkinApplier applier(engine);
    EXPECT_EQ(qApp->styleSheet(), engine.StyleSheet()) << "the built-in skin is on from the start";

    QWidget first, second;
    first.resize(40, 40);
    second.resize(40, 40);
    first.show();
    second.show();
    auto colourOf = [](QWidget& w) { return w.grab().toImage().pixelColor(20, 20); };

    engine.SetSkin("Red");
    EXPECT_EQ(colourOf(first), QColor(255, 0, 0));
    EXPECT_EQ(colourOf(second), QColor(255, 0, 0));
    engine.SetSkin("Green");
    EXPECT_EQ(colourOf(first), QColor(0, 255, 0));
    EXPECT_EQ(colourOf(second), QColor(0, 255, 0));
    // A file without skin data changes nothing that shows, yet becomes the current and stored skin.
    for (const QString& broken : {QStringLiteral("Corrupt"), QStringLiteral("Empty")}) {
        engine.SetSkin(broken);
        EXPECT_EQ(colourOf(first), QColor(0, 255, 0)) << broken.toStdString();
        EXPECT_EQ(engine.GetCurrentSkin(), broken);
        EXPECT_EQ(stored.last(), "Skin=" + broken);
    }
    QWidget later;
    later.resize(40, 40);
    later.show();
    EXPECT_EQ(colourOf(later), QColor(0, 255, 0)) << "windows opened later take the skin too";
}

TEST_F(Localisation, ShippedGermanTranslatesAProgramWindowAndTheMessageTexts)
{
    copyShippedLanguage("English");
    copyShippedLanguage("Deutsch");
    TLocalisation localisation(nullptr, dir.path(), writer);
    localisation.SetLanguage("English");

    const TEngineServices noTexts; // the version line is not what this looks at
    TfrmAboutForm about(QString(), noTexts);
    AttachWindowTranslator(&about);
    EXPECT_EQ(about.windowTitle(), "About Veilport");

    localisation.SetLanguage("Deutsch");
    EXPECT_EQ(about.windowTitle(), QString::fromUtf8("Über Veilport"));
    EXPECT_EQ(about.btnOk->text(), "&OK");
    EXPECT_TRUE(about.lbCopyRight->text().startsWith("Veilport verbirgt"));
    EXPECT_EQ(localisation.LangText("MSGBOX_LastVersionAlready"),
              "Sie verwenden bereits die neueste Version von Veilport.");
    EXPECT_EQ(TMessageDialog::ResourceString("MSG_BTN_YES"), "&Ja");
    EXPECT_EQ(TMessageDialog::ResourceString("MSG_CAP_SHOWFLAG"), "Diese Meldung nicht mehr anzeigen");
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "&No"), "&Nein") << "Qt's own buttons follow too";
    EXPECT_EQ(stored.last(), "Language=Deutsch");

    localisation.SetLanguage("English");
    EXPECT_EQ(about.windowTitle(), "About Veilport");
    EXPECT_EQ(TMessageDialog::ResourceString("MSG_BTN_YES"), "&Yes");
}
