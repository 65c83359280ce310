// A real process that keeps rewriting its settings until it is killed. Usage:
//   settings_writer <program folder>
// It prints "ready" once the settings file is open, then for each step after the stored "Step"
// writes "Step" and then "Data" (a large value derived from the step), each write saving the whole
// file. So the file only ever holds Step=s with Data of step s-1 or s (or no Data at step 1).
#include "config/TSettings.h"
#include "SettingsWriterData.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    InitSettings(QString::fromLocal8Bit(argv[1]));
    Settings()->OpenSettingsFile(false);
    std::printf("ready\n");
    std::fflush(stdout);
    for (int step = Settings()->ReadInteger(QStringLiteral("Step"), 0) + 1;; ++step) {
        Settings()->WriteString(QStringLiteral("Step"), QString::number(step));
        Settings()->WriteString(QStringLiteral("Data"), WriterData(step));
    }
}
