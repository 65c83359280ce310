// The choose-country dialog offscreen, against the real list service for flags and the map page.
#include "ui/TfrmChooseIP.h"

#include "config/TSettings.h"
#include "net/THTTPGet.h"
#include "proxy/TProxyManager.h"
#include "support/ListServiceFixture.h"
#include "support/PrivateHome.h"
#include "support/RecordingBrowserControl.h"
#include "support/RecordingEngineServices.h"
#include "ui/InfoPagePane.h"
#include "ui/SettingsWriteGuard.h"
#include "support/ScriptedHttpServer.h"
#include "support/TempDir.h"

#include <QBuffer>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QWebEngineView>

#include <gtest/gtest.h>

namespace {

using testsupport::ListServiceEntry;

class ChooseIPTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_service = new testsupport::ListServiceFixture;
        ASSERT_TRUE(s_service->start()) << s_service->errorText().toStdString();
    }
    static void TearDownTestSuite()
    {
        delete s_service;
        s_service = nullptr;
    }

    void SetUp() override
    {
        privateHome.enter();
        program.write("const.dat", "[const]\nApp.ConfigPath=Veilport\nApp.Ver=1.0.0.0\n");
        InitSettings(program.path());
        Settings()->OpenSettingsFile(false);
        SetEngineServices(&services);
        services.unscriptedAnswer = TEngineServices::mrNone;
        manager =
            std::make_unique<TProxyManager>(browsers, services, QStringLiteral("http://127.0.0.1:1/getip.php?VER=1"));
    }
    void TearDown() override
    {
        dialog.reset();
        manager.reset();
        SetEngineServices(nullptr);
        DoneSettings();
    }

    // Loads a list of (country, longitude, latitude) records as the service would send it.
    void LoadList(const QList<QStringList>& records)
    {
        QStringList lines{"LocalIP=127.0.0.1",   "LocalCountry=Germany",
                          "CountryFlag=x",       "LocalLatitude=52.5",
                          "LocalLongitude=13.4", QStringLiteral("ProxyCount=%1").arg(records.size())};
        for (int i = 0; i < records.size(); ++i) {
            const QStringList& r = records[i];
            const QString flag = r.value(3, s_service->url("/images/flag/") + r[0] + ".png");
            lines << QStringLiteral("Proxy_%1=10.0.0.%1:3128|anon|%2|%3|%4|%5").arg(i).arg(r[0], flag, r[1], r[2]);
        }
        manager->TakeProxyList(lines);
    }

    TfrmChooseIP& Open()
    {
        dialog = std::make_unique<TfrmChooseIP>(*manager, Settings()->SettingsFolder(), s_service->host(),
                                                s_service->host());
        dialog->show();
        return *dialog;
    }

    QStringList Entries() const
    {
        QStringList names;
        for (int i = 0; i < dialog->cbbCountry->count(); ++i)
            names << dialog->cbbCountry->itemText(i);
        return names;
    }

    QString MapUrl(const QString& tag, const QString& lon, const QString& lat) const
    {
        return QStringLiteral("http://%1/map/map.php?tag=%2&longitude=%3&latitude=%4")
            .arg(s_service->host(), tag, lon, lat);
    }

    QString FlagFile(const QString& stem) const { return Settings()->SettingsFolder() + stem + ".png"; }

    // Waits for the running flag fetch, if any, to end.
    void WaitForFlag()
    {
        QTRY_VERIFY_WITH_TIMEOUT(!dialog->hgFlag->Busy(), 10000);
        QCoreApplication::processEvents();
    }

    // Takes a choice as the main window does, with these tests' services.
    bool apply(const QString& chosen)
    {
        return TfrmChooseIP::ApplyChoice(*manager, chosen, services, SettingsWriteGuard(*Settings(), {}));
    }

    static testsupport::ListServiceFixture* s_service;
    testsupport::TempDir program;
    testsupport::TempDir home;
    testsupport::PrivateHome privateHome{home.path()};
    testsupport::RecordingEngineServices services;
    testsupport::RecordingBrowserControl browsers;
    std::unique_ptr<TProxyManager> manager;
    std::unique_ptr<TfrmChooseIP> dialog;
};

testsupport::ListServiceFixture* ChooseIPTest::s_service = nullptr;

TEST_F(ChooseIPTest, WellKnownCountriesStandBelowAutoSelectedInTheirOwnOrder)
{
    LoadList({{"Japan", "139", "35"},
              {"Brazil", "-47", "-15"},
              {"United States", "-95", "37"},
              {"Canada", "-75", "45"},
              {"german", "13", "52"},
              {"Chile", "-70", "-33"}});
    dialog =
        std::make_unique<TfrmChooseIP>(*manager, Settings()->SettingsFolder(), s_service->host(), s_service->host());
    EXPECT_EQ(Entries(),
              QStringList({"Auto Selected", "United States", "Canada", "german", "Japan", "Brazil", "Chile"}));
    EXPECT_EQ(dialog->cbbCountry->currentIndex(), -1) << "nothing is selected before the first show";
}

TEST_F(ChooseIPTest, CachedFlagIsDrawnWithoutFetching)
{
    QImage marker(20, 10, QImage::Format_RGB32);
    marker.fill(Qt::red);
    ASSERT_TRUE(marker.save(FlagFile("Canada"), "PNG"));
    LoadList({{"Canada", "-75", "45", "http://127.0.0.1:1/never.png"}});
    manager->ChooseCountry("Canada");
    Open();
    EXPECT_FALSE(dialog->hgFlag->Busy());
    EXPECT_EQ(dialog->LargeFlagImage.size(), QSize(20, 10));
    const QImage shown = dialog->imgFlag->pixmap().toImage();
    EXPECT_EQ(shown.size(), QSize(46, 36));
    EXPECT_EQ(QColor(shown.pixel(23, 18)), QColor(Qt::red)) << "the flag fills the box";
}

// Which entry a stored choice selects, and where the map points: a country listed twice at its last record.
TEST_F(ChooseIPTest, AStoredCountryIsFoundWhateverItsLetterCaseAndOtherwiseAutoSelectedShowsTheOwnPlace)
{
    struct Case
    {
        bool withList;
        QString stored;
        QString selected;
        QString map;
    };
    const Case cases[] = {
        {false, QString(), "Auto Selected", MapUrl("", "", "")},
        {true, "Canada", "Canada", MapUrl("Canada", "-75.7", "45.4")},
        {true, "JAPAN", "Japan", MapUrl("Japan", "139", "35")},
        {true, "Atlantis", "Auto Selected", MapUrl("Germany", "13.4", "52.5")},
        {true, kAutoSelected, "Auto Selected", MapUrl("Germany", "13.4", "52.5")},
    };
    ASSERT_FALSE(QFileInfo::exists(FlagFile("Canada")));
    // The cases without a list come first: a list once loaded stays.
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored.toStdString());
        if (c.withList)
            LoadList({{"Canada", "-79", "43"}, {"Japan", "139", "35"}, {"Canada", "-75.7", "45.4"}});
        manager->ChooseCountry(c.stored);
        Open();
        EXPECT_EQ(Entries().size(), c.withList ? 3 : 1);
        EXPECT_EQ(dialog->SelectedCountry(), c.selected);
        EXPECT_EQ(dialog->MapUrl(), c.map);
        WaitForFlag();
    }
    // The flags shown were fetched into the settings folder; Auto Selected shows the world's.
    EXPECT_EQ(QImage(FlagFile("Canada")).width(), 48);
    EXPECT_TRUE(QFileInfo::exists(FlagFile("un")));
    EXPECT_FALSE(dialog->LargeFlagImage.isNull());

    // A country no longer listed is taken as Auto Selected.
    manager->ChooseCountry("Atlantis");
    Open();
    dialog->btnCancel->click();
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    Open();
    dialog->btnOK->click();
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_TRUE(apply(dialog->SelectedCountry()));
    EXPECT_EQ(manager->Country(), "Auto Selected");
}

TEST_F(ChooseIPTest, ChangingTheSelectionMovesMapAndFlagOnlyForListedRecords)
{
    LoadList({{"Canada", "-75", "45"}, {"Japan", "139", "35"}, {"France", "2.3", "48.8"}});
    dialog =
        std::make_unique<TfrmChooseIP>(*manager, Settings()->SettingsFolder(), s_service->host(), s_service->host());
    dialog->cbbCountry->setCurrentIndex(2);
    EXPECT_TRUE(dialog->MapUrl().isEmpty()) << "changes before the first show are ignored";

    dialog->show();
    WaitForFlag();
    dialog->cbbCountry->setCurrentIndex(dialog->cbbCountry->findText("Japan"));
    EXPECT_EQ(dialog->MapUrl(), MapUrl("Japan", "139", "35"));
    WaitForFlag();
    EXPECT_TRUE(QFileInfo::exists(FlagFile("Japan")));

    // A fresh list without France arrives while the dialog is open.
    LoadList({{"Canada", "-75", "45"}, {"Japan", "139", "35"}});
    dialog->cbbCountry->setCurrentIndex(dialog->cbbCountry->findText("France"));
    EXPECT_EQ(dialog->MapUrl(), MapUrl("Japan", "139", "35"));
    EXPECT_FALSE(dialog->hgFlag->Busy());

    dialog->cbbCountry->setCurrentIndex(0);
    EXPECT_EQ(dialog->MapUrl(), MapUrl("Germany", "13.4", "52.5"));
}

TEST_F(ChooseIPTest, OnlyAFlagAnsweredWithSuccessIsCachedAndABrokenCachedFileIsFetchedAgain)
{
    QImage flag(48, 36, QImage::Format_RGB32);
    flag.fill(Qt::green);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(flag.save(&buffer, "PNG"));
    testsupport::ScriptedHttpServer server;
    // A server's error page that happens to be a picture, then the flag itself.
    server.enqueueReply(testsupport::ScriptedHttpServer::Reply::http(404, png));
    server.setDefaultReply(testsupport::ScriptedHttpServer::Reply::http(200, png));
    // A fetch cut short by a crash left half a file in the cache.
    QFile cut(FlagFile("Canada"));
    ASSERT_TRUE(cut.open(QIODevice::WriteOnly));
    cut.write(png.left(png.size() / 2));
    cut.close();
    LoadList({{"Canada", "-75", "45", server.url("/flag/Canada.png")}});
    manager->ChooseCountry("Canada");

    Open();
    ASSERT_TRUE(server.waitForRequests(1, 10000)) << "the broken file was taken for the flag";
    WaitForFlag();
    EXPECT_TRUE(dialog->LargeFlagImage.isNull());
    EXPECT_FALSE(QFileInfo::exists(FlagFile("Canada"))) << "the error page was cached";

    Open();
    ASSERT_TRUE(server.waitForRequests(2, 10000));
    WaitForFlag();
    EXPECT_EQ(dialog->LargeFlagImage.width(), 48);
    EXPECT_EQ(QImage(FlagFile("Canada")).width(), 48);
    EXPECT_EQ(QDir(Settings()->SettingsFolder()).entryList(QDir::Files | QDir::Hidden).filter(".part"), QStringList{})
        << "a download was left behind";
}

TEST_F(ChooseIPTest, GaugeShowsOnlyWhileTheMapLoads)
{
    LoadList({{"Canada", "-75", "45"}});
    manager->ChooseCountry("Canada");
    dialog =
        std::make_unique<TfrmChooseIP>(*manager, Settings()->SettingsFolder(), s_service->host(), s_service->host());
    dialog->wbMapProgressChange(30, 100);
    EXPECT_TRUE(dialog->sgLoadingMap->isVisibleTo(dialog.get()));
    EXPECT_EQ(dialog->sgLoadingMap->value(), 30);
    dialog->wbMapProgressChange(100, 100);
    EXPECT_FALSE(dialog->sgLoadingMap->isVisibleTo(dialog.get()));

    QSignalSpy loaded(dialog->wbMap, &InfoPagePane::loadFinished);
    dialog->show();
    ASSERT_TRUE(loaded.wait(30000));
    EXPECT_TRUE(loaded.first().first().toBool()) << "the service's map page loads";
    EXPECT_FALSE(dialog->sgLoadingMap->isVisibleTo(dialog.get()));
}

TEST_F(ChooseIPTest, ApplyingStoresTheChoiceAndANewCountryWhileHidingTellsTheUserOnce)
{
    // Not hiding: stored without a word, an unchanged choice too.
    manager->ChooseCountry("Japan");
    Settings()->WriteString("PROXYCOUNTRY", "stale");
    EXPECT_TRUE(apply("France"));
    EXPECT_TRUE(services.messages.isEmpty());
    EXPECT_EQ(Settings()->ReadString("PROXYCOUNTRY", ""), "France");
    Settings()->WriteString("PROXYCOUNTRY", "stale");
    EXPECT_FALSE(apply("France"));
    EXPECT_EQ(Settings()->ReadString("PROXYCOUNTRY", ""), "France") << "an unchanged choice is still stored";

    manager->ApplyProxy(QStringLiteral("10.0.0.1:3128"));
    ASSERT_TRUE(manager->Active());
    browsers.calls.clear();
    EXPECT_TRUE(apply("Canada"));
    EXPECT_EQ(manager->Country(), "Canada");
    ASSERT_EQ(services.messages.size(), 1);
    EXPECT_EQ(services.messages[0].showAgainId, 41);
    EXPECT_TRUE(services.messages[0].key.contains("\"Hide\""));
    EXPECT_EQ(Settings()->ReadString("PROXYCOUNTRY", ""), "Canada");
    EXPECT_TRUE(browsers.calls.isEmpty()) << "the proxy in use stays";

    EXPECT_FALSE(apply("Canada"));
    EXPECT_EQ(services.messages.size(), 1) << "the same country again shows no message";
}

} // namespace
