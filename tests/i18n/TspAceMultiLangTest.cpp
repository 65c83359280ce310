// Applying a language to real widgets (offscreen): the class name is the section, object names
// and language-file property names form the keys; unnamed objects and missing keys are left alone.
#include "i18n/TLanguageEngine.h"
#include "i18n/TPropertyMap.h"
#include "i18n/TspAceMultiLang.h"
#include "support/TempDir.h"
#include "ui/TLocalisation.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTreeWidget>

#include <gtest/gtest.h>

namespace veilporttest {

// A window in the shape of the program's windows: named children under a window class.
class TfrmSample : public QWidget
{
    Q_OBJECT
public:
    TfrmSample()
    {
        setObjectName("frmSample");
        setWindowTitle("Designed");
        btnOk = named(new QPushButton("OK", this), "btnOk");
        lbInfo = named(new QLabel("info", this), "lbInfo");
        cbBox = named(new QCheckBox("box", this), "cbBox");
        cbbList = named(new QComboBox(this), "cbbList");
        cbbList->addItems({"a", "b"});
        cbbList->setCurrentIndex(1);
        gbPanel = named(new QGroupBox("panel", this), "gbPanel");
        nested = named(new QLabel("nested", gbPanel), "lbNested");
        acGo = named(new QAction("&Go", this), "acGo");
        memo = named(new QPlainTextEdit("memo", this), "mmMemo");
        pcPages = named(new QTabWidget(this), "pcPages");
        tsFirst = named(new QWidget, "tsFirst");
        pcPages->addTab(tsFirst, "First");
        pcPages->addTab(new QWidget, "Second");
        tree = named(new QTreeWidget(this), "tvList");
        tree->setColumnCount(2);
        unnamed = new QPushButton("keep me", this);
    }

    template <typename T> static T* named(T* o, const char* name)
    {
        o->setObjectName(name);
        return o;
    }

    QPushButton* btnOk;
    QLabel* lbInfo;
    QCheckBox* cbBox;
    QComboBox* cbbList;
    QGroupBox* gbPanel;
    QLabel* nested;
    QAction* acGo;
    QPlainTextEdit* memo;
    QTabWidget* pcPages;
    QWidget* tsFirst;
    QTreeWidget* tree;
    QPushButton* unnamed;
};

} // namespace veilporttest

using veilporttest::TfrmSample;

namespace {

const QByteArray kSample = "[TfrmSample]\r\n"
                           "frmSample.Caption=Fenster\r\n"
                           "btnOk.Caption=&Jawohl\r\n"
                           "btnOk.Hint=Tipp<BR>zwei\r\n"
                           "btnOk.Name=renamed\r\n"
                           "lbInfo.Caption=Zeile 1<BR>Zeile 2\r\n"
                           "cbBox.Caption=Kasten\r\n"
                           "cbbList.Items=Eins<BR>Zwei<BR>Drei<BR>\r\n"
                           "gbPanel.Caption=Tafel\r\n"
                           "lbNested.Caption=innen\r\n"
                           "acGo.Caption=&Los\r\n"
                           "mmMemo.Lines=m1<BR>m2\r\n"
                           "tsFirst.Caption=Erste\r\n"
                           "tvList.Columns[1].Caption=Spalte\r\n"
                           "keep me.Caption=changed\r\n";

class ApplyLanguage : public ::testing::Test
{
protected:
    void SetUp() override { InstallWidgetTextWriters(); }

    testsupport::TempDir dir;
    QStringList stored;
    TLanguageEngine engine{nullptr, dir.path() + "/",
                           [this](const QString& n, const QString& v) { stored << n + "=" + v; }};

    void writeLanguage(const QString& name, const QByteArray& text) { dir.write("langs/" + name + ".lan", text); }
};

} // namespace

TEST_F(ApplyLanguage, EveryNamedComponentAndTheWindowTakeTheirTexts)
{
    writeLanguage("Sample", kSample);
    TfrmSample window;
    QSignalSpy chosen(window.cbbList, &QComboBox::currentIndexChanged);
    auto* translator = engine.CreateTranslator(&window);
    QSignalSpy changed(translator, &TspAceMultiLang::OnChangeLanguage);
    engine.SetLanguage("Sample");

    EXPECT_EQ(window.windowTitle(), "Fenster");
    EXPECT_EQ(window.btnOk->text(), "&Jawohl");
    EXPECT_EQ(window.btnOk->toolTip(), "Tipp\nzwei");
    EXPECT_EQ(window.btnOk->objectName(), "btnOk") << "a language never renames a component";
    EXPECT_EQ(window.lbInfo->text(), "Zeile 1\nZeile 2");
    EXPECT_EQ(window.cbBox->text(), "Kasten");
    EXPECT_EQ(window.gbPanel->title(), "Tafel");
    EXPECT_EQ(window.nested->text(), "innen") << "components inside panels belong to the window too";
    EXPECT_EQ(window.acGo->text(), "&Los");
    EXPECT_EQ(window.memo->toPlainText(), "m1\nm2");
    EXPECT_EQ(window.pcPages->tabText(0), "Erste");
    EXPECT_EQ(window.pcPages->tabText(1), "Second");
    EXPECT_EQ(window.tree->headerItem()->text(1), "Spalte");
    EXPECT_EQ(window.unnamed->text(), "keep me");
    ASSERT_EQ(window.cbbList->count(), 3);
    EXPECT_EQ(window.cbbList->itemText(2), "Drei");
    EXPECT_EQ(window.cbbList->currentIndex(), 1) << "replacing the items keeps the selection";
    EXPECT_EQ(chosen.count(), 0) << "replacing the items does not look like a user's choice";
    EXPECT_EQ(changed.count(), 1);
}

TEST_F(ApplyLanguage, PropertiesTheNextLanguageLacksKeepThePreviousText)
{
    writeLanguage("One", "[TfrmSample]\nbtnOk.Caption=Eins\ncbBox.Caption=Box eins\n");
    writeLanguage("Two", "[TfrmSample]\ncbBox.Caption=Box zwei\n");
    TfrmSample window;
    engine.CreateTranslator(&window);
    engine.SetLanguage("One");
    engine.SetLanguage("Two");
    EXPECT_EQ(window.btnOk->text(), "Eins");
    EXPECT_EQ(window.cbBox->text(), "Box zwei");
}

TEST_F(ApplyLanguage, WindowsCreatedLaterOpenInTheCurrentLanguage)
{
    writeLanguage("Sample", kSample);
    engine.SetLanguage("Sample");
    TfrmSample dialog;
    auto* translator = engine.CreateTranslator(&dialog);
    EXPECT_EQ(dialog.btnOk->text(), "&Jawohl");
    EXPECT_EQ(translator->Window(), &dialog);
}

TEST_F(ApplyLanguage, EveryAttachedWindowIsReTranslatedInAttachOrderAndDetachesWhenDestroyed)
{
    writeLanguage("Sample", kSample);
    QStringList order;
    TfrmSample first;
    auto second = std::make_unique<TfrmSample>();
    QObject::connect(engine.CreateTranslator(&first), &TspAceMultiLang::OnChangeLanguage, [&] { order << "first"; });
    QObject::connect(engine.CreateTranslator(second.get()), &TspAceMultiLang::OnChangeLanguage,
                     [&] { order << "second"; });
    order.clear(); // the application at attach time
    engine.SetLanguage("Sample");
    EXPECT_EQ(order, (QStringList{"first", "second"}));

    second.reset();
    order.clear();
    engine.SetLanguage("Sample");
    EXPECT_EQ(order, (QStringList{"first"}));
}

TEST_F(ApplyLanguage, TheWindowsOwnReactionFollowsEveryApplicationTheFirstIncluded)
{
    writeLanguage("Sample", kSample);
    TfrmSample window;
    QStringList seen;
    engine.CreateTranslator(&window, [&] { seen << window.btnOk->text(); });
    EXPECT_EQ(seen, QStringList{"OK"});
    engine.SetLanguage("Sample");
    EXPECT_EQ(seen, (QStringList{"OK", "&Jawohl"})) << "the reaction runs after the texts are written";
}

TEST_F(ApplyLanguage, AChildWindowWithItsOwnTranslatorKeepsItsOwnSection)
{
    writeLanguage("Sample", kSample);
    TfrmSample owner;
    auto* dialog = new TfrmSample; // owned by the window, like a dialog created by the main window
    dialog->setParent(&owner, Qt::Dialog);
    engine.CreateTranslator(&owner);
    auto* own = new TspAceMultiLang(dialog); // a translator without data: applies nothing
    Q_UNUSED(own);
    engine.SetLanguage("Sample");
    EXPECT_EQ(owner.btnOk->text(), "&Jawohl");
    EXPECT_EQ(dialog->btnOk->text(), "OK");
}

TEST_F(ApplyLanguage, DefaultDataFillsWhatTheCurrentLanguageLacks)
{
    engine.smdDefault()->SetData("[TfrmSample]\nbtnOk.Caption=Default\ncbBox.Caption=Default box\n"
                                 "[ResString]\nKEY=from default\n");
    writeLanguage("Cur", "[TfrmSample]\ncbBox.Caption=Current box\n");
    TfrmSample window;
    engine.CreateTranslator(&window);
    engine.SetLanguage("Cur");
    EXPECT_EQ(window.btnOk->text(), "Default");
    EXPECT_EQ(window.cbBox->text(), "Current box");
    EXPECT_EQ(engine.LangText("KEY"), "from default");
}

TEST_F(ApplyLanguage, NothingIsAppliedWithoutDataButTheEventStillFollowsTheFirstApplication)
{
    TfrmSample window;
    TspAceMultiLang translator(&window);
    QSignalSpy changed(&translator, &TspAceMultiLang::OnChangeLanguage);
    translator.Loaded();
    EXPECT_EQ(changed.count(), 0) << "a translator without data does nothing";
    translator.SetData(engine.smdCurrent());
    translator.Loaded();
    EXPECT_EQ(changed.count(), 1);
}

TEST(PropertyMap, LanguageNamesMeetQtProperties)
{
    // Labels, window titles and lists are written through whole windows above; these are the rest.
    QMenu menu;
    EXPECT_TRUE(TPropertyMap::Write(&menu, "Caption", "&Menu", false));
    EXPECT_EQ(menu.title(), "&Menu");
    QLineEdit edit;
    EXPECT_TRUE(TPropertyMap::Write(&edit, "placeholderText", "type here", false));
    EXPECT_EQ(edit.placeholderText(), "type here");
    QPushButton button;
    EXPECT_FALSE(TPropertyMap::Write(&button, "placeholderText", "x", false));
    EXPECT_FALSE(TPropertyMap::Write(&button, "Items[0].Caption", "x", false));
    EXPECT_FALSE(TPropertyMap::Write(&button, "objectName", "x", false));
    EXPECT_EQ(TPropertyMap::SplitLines("a<BR>"), QStringList{"a<BR>"});
    EXPECT_EQ(TPropertyMap::SplitLines("All Users\r\nCurrent User\r\n\r\n"),
              (QStringList{"All Users", "Current User", ""}));
}

#include "TspAceMultiLangTest.moc"
