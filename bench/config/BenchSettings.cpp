// Cost of one settings write, which saves the whole Setting.dat atomically (temporary file, fsync,
// rename, folder fsync). Runs in a temporary folder; prints name=value lines last.
#include "config/TSettings.h"
#include "support/PrivateHome.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int writes = argc > 1 ? std::max(1, atoi(argv[1])) : 200;
    QTemporaryDir dir(QDir::tempPath() + "/veilport-bench-XXXXXX");
    if (!dir.isValid())
        return 1;
    QDir().mkpath(dir.filePath("prog"));
    QFile constants(dir.filePath("prog/const.dat"));
    if (!constants.open(QIODevice::WriteOnly))
        return 1;
    constants.write("[const]\r\nApp.ConfigPath=Veilport\r\nApp.Ver=1.0.0.0\r\n");
    constants.close();
    testsupport::PrivateHome home(dir.path());
    home.enter();

    InitSettings(dir.filePath("prog"));
    TSettings& settings = *Settings();
    settings.OpenSettingsFile(false);
    // A realistic file: the few dozen settings and flags the program keeps.
    const char* keys[] = {"Language",
                          "Skin",
                          "AutoRun",
                          "AutoCheckUpdate",
                          "IE",
                          "FF",
                          "OPERA",
                          "FireFoxPath",
                          "SETUPFF",
                          "FirstTimeRun",
                          "MainForm.Left",
                          "MainForm.Top",
                          "MainForm.Width",
                          "MainForm.Height",
                          "PROXYCOUNTRY",
                          "ChangeIP",
                          "ChangeIPTime",
                          "ChearCookieWhenIPChanges",
                          "Hiding",
                          "LastUpdateDate"};
    for (const char* key : keys)
        settings.WriteString(key, "value of " + QString::fromLatin1(key));
    for (int id : {30, 31, 41}) {
        settings.WriteShowAgain(id, false);
        settings.WriteShowAgainResult(id, 6);
    }

    std::vector<double> micros;
    micros.reserve(writes);
    QElapsedTimer timer;
    for (int i = 0; i < writes; ++i) {
        timer.start();
        settings.WriteInteger("MainForm.Left", i);
        micros.push_back(timer.nsecsElapsed() / 1000.0);
    }
    std::sort(micros.begin(), micros.end());
    const qint64 fileSize = QFileInfo(settings.SettingsFolder() + "Setting.dat").size();
    DoneSettings();

    std::printf("settings_writes=%d\n", writes);
    std::printf("settings_file_bytes=%lld\n", static_cast<long long>(fileSize));
    std::printf("settings_write_median_us=%.1f\n", micros[micros.size() / 2]);
    std::printf("settings_write_p90_us=%.1f\n", micros[micros.size() * 9 / 10]);
    std::printf("settings_write_max_us=%.1f\n", micros.back());
    return 0;
}
