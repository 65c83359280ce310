#include "platform/XdgAutostart.h"

#include "support/TempDir.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

using platform::XdgAutostart;

namespace {
// desktop-file-validate is the reference reader of desktop entries; absent, the check is skipped.
bool validates(const QString& file, QString* output)
{
    const QString tool = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    if (tool.isEmpty())
        return true;
    QProcess process;
    process.start(tool, {file});
    process.waitForFinished(20000);
    *output = QString::fromLocal8Bit(process.readAll());
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QString execLine(const QByteArray& text)
{
    for (const QByteArray& line : text.split('\n'))
        if (line.startsWith("Exec="))
            return QString::fromUtf8(line.mid(5));
    return {};
}
} // namespace

TEST(XdgAutostart, EnablingWritesAValidEntryAndDisablingRemovesIt)
{
    testsupport::TempDir home;
    testsupport::ScopedEnv config("XDG_CONFIG_HOME", home.path().toUtf8());
    XdgAutostart autostart; // the user's folder, from the environment
    const QString file = home.path() + QStringLiteral("/autostart/Veilport.desktop");

    QString error;
    ASSERT_TRUE(
        autostart.setEnabled(QStringLiteral("Veilport"), QStringLiteral("/opt/veilport/veilport"), {}, true, &error))
        << error.toStdString();
    EXPECT_EQ(autostart.entryFile(QStringLiteral("Veilport")), file);
    EXPECT_TRUE(autostart.isEnabled(QStringLiteral("Veilport")));
    QFile entry(file);
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    const QByteArray text = entry.readAll();
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\n"));
    EXPECT_TRUE(text.contains("\nType=Application\n"));
    EXPECT_TRUE(text.contains("\nName=Veilport\n"));
    EXPECT_TRUE(text.contains("\nExec=/opt/veilport/veilport\n"));
    EXPECT_TRUE(text.contains("\nTerminal=false\n"));
    QString output;
    EXPECT_TRUE(validates(file, &output)) << output.toStdString();

    // Writing again replaces the entry; disabling twice is no error.
    ASSERT_TRUE(
        autostart.setEnabled(QStringLiteral("Veilport"), QStringLiteral("/usr/bin/veilport"), {}, true, &error));
    EXPECT_EQ(execLine(text), QStringLiteral("/opt/veilport/veilport"));
    entry.close();
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    EXPECT_EQ(execLine(entry.readAll()), QStringLiteral("/usr/bin/veilport"));
    EXPECT_TRUE(autostart.setEnabled(QStringLiteral("Veilport"), {}, {}, false, &error));
    EXPECT_FALSE(QFileInfo::exists(file));
    EXPECT_TRUE(autostart.setEnabled(QStringLiteral("Veilport"), {}, {}, false, &error));
}

TEST(XdgAutostart, PathsWithBlanksQuotesAndPercentSignsStayOneArgument)
{
    testsupport::TempDir home;
    XdgAutostart autostart(home.path());
    const QString exe = QStringLiteral("/opt/My Apps/100% \"fast\"/$HOME\\veil");
    QString error;
    ASSERT_TRUE(autostart.setEnabled(QStringLiteral("Veilport"), exe, {}, true, &error));
    const QString file = autostart.entryFile(QStringLiteral("Veilport"));
    QFile entry(file);
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    // Reserved characters quoted; '"', '$' and '\' escaped inside the quotes, then every '\'
    // doubled by the value escaping; '%' doubled so it is no field code.
    EXPECT_EQ(execLine(entry.readAll()),
              QStringLiteral("\"/opt/My Apps/100%% \\\\\"fast\\\\\"/\\\\$HOME\\\\\\\\veil\""));
    QString output;
    EXPECT_TRUE(validates(file, &output)) << output.toStdString();
}

TEST(XdgAutostart, EntryNamesBecomeSafeFileNames)
{
    EXPECT_EQ(XdgAutostart::safeFileName(QStringLiteral("Veilport")), QStringLiteral("Veilport"));
    EXPECT_EQ(XdgAutostart::safeFileName(QStringLiteral("../../etc/x")), QStringLiteral("_._.._etc_x"));
    EXPECT_EQ(XdgAutostart::safeFileName(QStringLiteral(".hidden")), QStringLiteral("_hidden"));
    EXPECT_EQ(XdgAutostart::safeFileName(QStringLiteral("a\nb\\c")), QStringLiteral("a_b_c"));
    EXPECT_EQ(XdgAutostart::safeFileName(QString()), QStringLiteral("autostart"));
    EXPECT_EQ(XdgAutostart::safeFileName(QStringLiteral("Vélport")), QStringLiteral("Vélport"));

    testsupport::TempDir home;
    XdgAutostart autostart(home.path());
    EXPECT_TRUE(autostart.entryFile(QStringLiteral("../../x")).startsWith(home.path() + QStringLiteral("/_")));
}

TEST(XdgAutostart, AnUnwritableFolderIsReportedNotIgnored)
{
    testsupport::TempDir home;
    // A regular file where the folder should be: creating it fails even for root.
    const QString blocker = home.write(QStringLiteral("autostart"), "not a folder");
    XdgAutostart autostart(blocker + QStringLiteral("/inner"));
    QString error;
    EXPECT_FALSE(
        autostart.setEnabled(QStringLiteral("Veilport"), QStringLiteral("/usr/bin/veilport"), {}, true, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(autostart.isEnabled(QStringLiteral("Veilport")));
}
