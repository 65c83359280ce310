#pragma once

#include "MainWindowParts.h"

#include "browsers/DesktopBrowsers.h"
#include "browsers/GnomeProxySettings.h"
#include "config/TSettings.h"
#include "platform/XdgAutostart.h"
#include "proxy/ExitRoute.h"
#include "proxy/TProxyManager.h"
#include "support/GnomeProxyKeys.h"
#include "support/PrivateHome.h"
#include "support/RecordingMessageBoxes.h"
#include "support/TempDir.h"
#include "support/Wait.h"
#include "ui/ApplicationServices.h"
#include "ui/Engine.h"
#include "ui/HidingPresenter.h"
#include "ui/TMessageDialog.h"
#include "ui/TfrmEngineWnd.h"
#include "ui/TfrmMainForm.h"
#include "util/EngineServices.h"

#include <QBuffer>
#include <QFile>
#include <QImage>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

// A private machine for one main-window test: a program folder with its own constants (every
// service address on a port nobody listens on unless the test says otherwise), user and
// all-users folders, the desktop's proxy settings in a temporary keyfile, and the engine and
// main windows built as the program builds them.
class MainWindowFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        privateHome.enter();
        // No Firefox of the machine takes part (it would write below the home and reach out to the network): a
        // stand-in that ends at once is found first under both names.
        for (const char* firefox : {"bin/firefox", "bin/firefox-esr"}) {
            const QString path = root.write(QString::fromLatin1(firefox), "#!/bin/sh\nexit 0\n");
            QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        }
        privateHome.setVariable("PATH", root.file(QStringLiteral("bin")).toUtf8() + ":/usr/bin:/bin");
    }

    void TearDown() override { stop(); }

    // The constants of the program; extra lines are appended to the [const] section.
    void writeConstants(const QByteArray& serviceHost = "127.0.0.1:1", const QByteArray& extra = QByteArray())
    {
        root.write(QStringLiteral("program/const.dat"),
                   QStringLiteral("[const]\nApp.ConfigPath=Veilport\nApp.Ver=1.0.0.0\nApp.ID=4242\n"
                                  "MainForm.Width=476\nMainForm.Height=302\nUpdate.NoAutoCheck=1\nUpdate.Enable=0\n"
                                  "URL.ServiceHost=%1\nURL.SiteHost=%1\nURL.GETPROXY=http://%1/getproxy.php\n"
                                  "URL.InfoURL=http://%1/info.php\nURL.IPSEEKER=http://%1/ipseeker.php\n")
                           .arg(QString::fromUtf8(serviceHost))
                           .toUtf8() +
                       extra);
        m_constantsWritten = true;
    }

    QString programFolder() const { return root.file(QStringLiteral("program")) + QLatin1Char('/'); }
    QString settingsFolder() const { return Settings() ? Settings()->SettingsFolder() : QString(); }

    // Opens the settings store only, so a test can store settings before the windows exist.
    void openSettings()
    {
        if (!m_constantsWritten)
            writeConstants();
        if (!Settings()) {
            InitSettings(programFolder());
            // The per-user folder, chosen beforehand so that settings stored now are the ones read later.
            Settings()->WriteAllUsersFlag(false);
            Settings()->OpenSettingsFile(false);
        }
    }

    // Builds the engine and the main window.
    void start()
    {
        openSettings();
        browsers = std::make_unique<DesktopBrowsers>(*Settings());
        engine = std::make_unique<Engine>(
            *Settings(), *browsers, std::make_unique<platform::XdgAutostart>(root.file(QStringLiteral("autostart"))),
            std::move(exitRoute));
        ASSERT_TRUE(engine->StartSucceeded());
        form = std::make_unique<TfrmMainForm>(engine->Window());
        ui = std::make_unique<MainWindowParts>(*form);
    }

    void stop()
    {
        ui.reset();
        if (form)
            form->ExitRequested = true;
        form.reset();
        engine.reset();
        browsers.reset();
        DoneSettings();
    }

    TProxyManager& manager() { return *engine->ProxyManager(); }

    // A message of the program in the language loaded.
    static QString text(const char* message) { return EngineServices().LangText(QString::fromUtf8(message)); }

    // The desktop's proxy as its keyfile holds it: "host:port", "socks5 host:port" or the mode ('none').
    QString desktop() const { return testsupport::desktopProxy(gnome); }

    bool desktopBecomes(const QString& expected, int timeoutMs = 20000)
    {
        return testsupport::waitUntil([&] { return desktop() == expected; }, timeoutMs);
    }

    // A list text as the service sends it.
    static QString listText(const QStringList& proxies, const QString& localIp = QStringLiteral("1.2.3.4"),
                            const QString& localCountry = QStringLiteral("Germany"),
                            const QString& countryFlag = QString())
    {
        QStringList lines{QStringLiteral("LocalIP=") + localIp,
                          QStringLiteral("LocalCountry=") + localCountry,
                          QStringLiteral("CountryFlag=") + countryFlag,
                          QStringLiteral("LocalLatitude=52.5"),
                          QStringLiteral("LocalLongitude=13.4"),
                          QStringLiteral("ProxyCount=") + QString::number(proxies.size())};
        for (int i = 0; i < proxies.size(); ++i)
            lines << QStringLiteral("Proxy_%1=%2").arg(i).arg(proxies[i]);
        return lines.join(QStringLiteral("\r\n"));
    }

    static QByteArray pngBytes(const QColor& colour)
    {
        QImage image(16, 16, QImage::Format_RGB32);
        image.fill(colour);
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        return bytes;
    }

    testsupport::TempDir root;
    testsupport::PrivateHome privateHome{root.path()};
    // Every message box of the windows, answered as the test queues answers.
    testsupport::RecordingMessageBoxes messages;
    std::unique_ptr<DesktopBrowsers> browsers;
    std::unique_ptr<Engine> engine;
    std::unique_ptr<TfrmMainForm> form;
    // The main window's components, found once start() has built it.
    std::unique_ptr<MainWindowParts> ui;
    // What hides through Tor; handed to the engine by start() (null: Veilport's own tor).
    std::unique_ptr<IExitRoute> exitRoute;
    // The desktop's proxy settings, read back from the temporary keyfile.
    platform::GnomeProxySettings gnome;

private:
    bool m_constantsWritten = false;
};
