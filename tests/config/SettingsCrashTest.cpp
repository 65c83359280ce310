// A writer process killed at random moments must always leave a complete Setting.dat behind:
// either the content before the interrupted save or the content after it.
#include "SettingsFixture.h"
#include "SettingsWriterData.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QThread>

#include <cstdio>
#include <random>

namespace {

// Every content the writer can leave: the blank file of a fresh folder, or Step=s alone or followed
// by the Data of some step up to s (a run killed between its two writes leaves older Data behind).
bool isWriterState(const QByteArray& bytes, QString* why)
{
    if (bytes == " \r\n")
        return true;
    TIniFile ini;
    ini.LoadFromBytes(bytes);
    const QString stepText = ini.ReadString("setting", "Step", QString());
    bool ok = false;
    const int step = stepText.toInt(&ok);
    if (!ok || step < 1) {
        *why = "no valid Step in a file of " + QString::number(bytes.size()) + " bytes";
        return false;
    }
    const QByteArray head = " \r\n[setting]\r\nStep=" + stepText.toUtf8() + "\r\n";
    if (bytes == head)
        return true;
    const QString data = ini.ReadString("setting", "Data", QString());
    int digits = 0;
    while (digits < data.size() && data[digits].isDigit())
        ++digits;
    const int dataStep = data.left(digits).toInt();
    if (dataStep >= 1 && dataStep <= step && bytes == head + "Data=" + WriterData(dataStep).toUtf8() + "\r\n")
        return true;
    *why = "file at step " + stepText + " (" + QString::number(bytes.size()) + " bytes) is no state of the writer";
    return false;
}

using SettingsCrashTest = SettingsFixture;

TEST_F(SettingsCrashTest, KilledWriterAlwaysLeavesTheOldOrTheNewFile)
{
    const QString writer = QCoreApplication::applicationDirPath() + "/settings_writer";
    const QString file = userFolder() + "Setting.dat";
    std::mt19937 random(std::random_device{}());
    int interruptedSaves = 0;
    int lastStep = 0;
    for (int kill = 0; kill < 150; ++kill) {
        QProcess process;
        process.start(writer, {programFolder()});
        ASSERT_TRUE(process.waitForStarted(30000)) << process.errorString().toStdString();
        ASSERT_TRUE(process.waitForReadyRead(30000)) << "writer did not open its settings";
        // The moment of the kill is the point of the test, not a wait for anything.
        QThread::usleep(random() % 25000);
        process.kill();
        ASSERT_TRUE(process.waitForFinished(30000));
        ASSERT_EQ(process.exitStatus(), QProcess::CrashExit)
            << "writer ended by itself: " << process.readAllStandardError().constData();

        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << "kill " << kill << ": Setting.dat is gone";
        const QByteArray bytes = f.readAll();
        QString why;
        ASSERT_TRUE(isWriterState(bytes, &why)) << "kill " << kill << ": " << why.toStdString();

        TIniFile ini;
        ini.LoadFromBytes(bytes);
        const int step = ini.ReadString("setting", "Step", "0").toInt();
        EXPECT_GE(step, lastStep) << "a save went backwards";
        lastStep = step;
        // A temporary file left beside it shows that the kill hit a save in progress.
        if (QDir(userFolder()).entryList({"Setting.dat.tmp.*"}, QDir::Files | QDir::Hidden).size() > 0)
            ++interruptedSaves;
    }
    std::printf("kills=150 interrupted_saves=%d last_step=%d\n", interruptedSaves, lastStep);
    // Without kills that land inside a save the test would prove nothing.
    EXPECT_GT(interruptedSaves, 0);
}

} // namespace
