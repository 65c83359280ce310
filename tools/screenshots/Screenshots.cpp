// Takes a PNG of the main window in every shipped language with every skin (the built-in one
// included), for reviews of translations and skins. Run through scripts/screenshots, which gives
// it a temporary home so that no real settings are touched.
//   veilport_screenshots <output folder>
#include "config/TSettings.h"
#include "i18n/TLanguageEngine.h"
#include "i18n/TSkinEngine.h"
#include "browsers/DesktopBrowsers.h"
#include "ui/TLocalisation.h"
#include "ui/ApplicationServices.h"
#include "ui/Engine.h"
#include "ui/TfrmEngineWnd.h"
#include "ui/TfrmMainForm.h"
#include "util/SPTools.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QPixmap>

#include <cstdio>
#include <memory>

namespace {

void settle(int ms)
{
    // Lets layouts, style sheets and the first paint happen before the window is grabbed.
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

QString fileSafe(QString name)
{
    name.replace(QLatin1Char('&'), QString());
    name.replace(QLatin1Char(' '), QLatin1Char('_'));
    return name;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    const QString outDir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(outDir);

    InitSettings();
    int written = 0;
    {
        DesktopBrowsers browsers(*Settings());
        auto engine = std::make_unique<Engine>(*Settings(), browsers);
        TLocalisation* localisation = engine->Localisation();
        if (!localisation) {
            std::fprintf(stderr, "the engine did not start\n");
            return 1;
        }

        auto main = std::make_unique<TfrmMainForm>(engine->Window());
        if (!main->findChild<QObject*>(QStringLiteral("smLanguage"), Qt::FindDirectChildrenOnly))
            AttachWindowTranslator(main.get());
        main->show();
        settle(500);

        QStringList languages, displayNames;
        localisation->Language().GetLanguageList(languages, displayNames);
        QStringList skins;
        localisation->Skin().GetSkinList(skins);
        skins.prepend(QString()); // the built-in skin

        for (const QString& language : languages) {
            engine->Services().SetLanguage(language);
            for (const QString& skin : skins) {
                localisation->SetSkin(skin);
                settle(300);
                const QString name = fileSafe(language) + QLatin1Char('-') +
                                     (skin.isEmpty() ? QStringLiteral("ZaziRoraru2") : fileSafe(skin)) +
                                     QStringLiteral(".png");
                const QString path = QDir(outDir).filePath(name);
                if (main->grab().save(path)) {
                    std::printf("%s\n", qPrintable(path));
                    ++written;
                } else {
                    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
                }
            }
        }
        main->ExitRequested = true;
        main->close();
        main.reset();
    }
    DoneSettings();
    std::printf("screenshots=%d\n", written);
    return written > 0 ? 0 : 1;
}
