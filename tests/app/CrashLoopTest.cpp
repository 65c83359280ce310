// The program killed with SIGKILL at random moments while it starts, loads the list, tests proxies,
// applies one, rotates and writes its settings. After every kill the next start must find its
// settings readable with every value kept, and its first write to the desktop's proxy settings must
// be the switch back to a direct connection; when hiding was on, the start then hides again.
//
// The program traces every change it writes to the desktop's proxy settings (one line each, in the
// order written), so the order of one start's desktop writes can be read back from its output.
//
// By default a short loop runs (10 kills during start-up, list load and the first tests, each start
// finding the desktop pointed at a proxy as a kill while hiding leaves it). scripts/crash-loop runs
// the long one through the environment:
//   VEILPORT_CRASH_LOOP_KILLS=N        kills to deliver (default 10)
//   VEILPORT_CRASH_LOOP_FULL=1         every moment: also while applying, hiding and closing
//   VEILPORT_CRASH_LOOP_ROTATIONS=N    in the full loop, N long runs killed during a proxy rotation
//   VEILPORT_CRASH_LOOP_SEED=N         the random seed (printed, so a run can be repeated)
// The figures go to stdout, the last line as "crash_loop kills=... bad_settings=... ...".
#include "ProgramProcess.h"
#include "util/TIniFile.h"
#include "platform/UnixInstanceChannel.h"
#include "support/ListServiceFixture.h"
#include "support/TempDir.h"
#include "support/TinyproxyFixture.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <future>
#include <map>
#include <memory>
#include <random>

namespace {

using apptest::waitUntil;

constexpr quint32 kInstanceClose = 2027;
constexpr int kFirstWriteTimeoutMs = 30000;
// The tester waits up to ten seconds before each test; a start hides within that and its start-up.
constexpr int kHideTimeoutMs = 45000;
// The shortest automatic change comes one minute after the start.
constexpr int kRotationTimeoutMs = 120000;
constexpr int kRotationEarliestMs = 50000;

const QString kDirectWrite = QStringLiteral("org.gnome.system.proxy mode 'none'");
const QString kManualWrite = QStringLiteral("org.gnome.system.proxy mode 'manual'");
const QString kHostWrite = QStringLiteral("org.gnome.system.proxy.http host ");

// The moments at which a copy is killed.
enum class Moment
{
    Starting,     // anywhere in the first 1.2 s: settings opened, first settings writes
    Clearing,     // just after the start-up's first desktop write
    ListAndTests, // list load, flag download, proxies under test
    Applying,     // between the writes of host, port and mode
    Hiding,       // a proxy applied, the fresh list arriving, the second test run
    Closing,      // the close request: the quick settings being written
    Rotating,     // the automatic change a minute after the start
};
constexpr int kMomentCount = 7;
const std::array<const char*, kMomentCount> kMomentNames = {"starting", "clearing", "list_and_tests", "applying",
                                                            "hiding",   "closing",  "rotating"};

struct LoopOptions
{
    int kills = 10;
    bool full = false;
    int rotations = 0;
    quint32 seed = 0;

    static LoopOptions fromEnvironment()
    {
        LoopOptions options;
        bool ok = false;
        const int kills = qEnvironmentVariableIntValue("VEILPORT_CRASH_LOOP_KILLS", &ok);
        if (ok && kills > 0)
            options.kills = kills;
        options.full = qEnvironmentVariableIntValue("VEILPORT_CRASH_LOOP_FULL") == 1;
        options.rotations = options.full ? qMax(0, qEnvironmentVariableIntValue("VEILPORT_CRASH_LOOP_ROTATIONS")) : 0;
        const QByteArray seed = qgetenv("VEILPORT_CRASH_LOOP_SEED");
        options.seed = seed.isEmpty() ? quint32(QDateTime::currentMSecsSinceEpoch()) : seed.toUInt();
        return options;
    }
};

struct LoopFigures
{
    int kills = 0;
    int starts = 0;
    int badSettings = 0;
    int notDirectFirst = 0;
    int hideResumed = 0;
    int afterProxy = 0;    // starts that found the desktop pointed at a proxy and wrote to it
    int missedMoments = 0; // the awaited moment did not come in time
    int unexpectedEnds = 0;
    int closedByThemselves = 0;
    int badFlags = 0;
    int strayFiles = 0;
    std::array<int, kMomentCount> killsAt{};
};

// The desktop writes one start traced, in order: the keys of each change, as the program printed them.
QList<QString> desktopWrites(const QString& programLog)
{
    static const QByteArray marker = "gnome proxy settings written: ";
    QList<QString> writes;
    QFile file(programLog);
    if (!file.open(QIODevice::ReadOnly))
        return writes;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const qsizetype at = line.indexOf(marker);
        if (at >= 0)
            writes.append(QString::fromUtf8(line.mid(at + marker.size())).trimmed());
    }
    return writes;
}

// Every line of an INI text is blank, a comment, a section or a key=value line, and the text ends
// with a line break: a save cut short would leave a last line without one.
bool looksLikeWholeIni(const QByteArray& bytes, QString& why)
{
    if (bytes.isEmpty()) {
        why = QStringLiteral("empty file");
        return false;
    }
    if (!bytes.endsWith('\n')) {
        why = QStringLiteral("no line break at the end");
        return false;
    }
    for (QByteArray line : bytes.split('\n')) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(';') || (line.startsWith('[') && line.endsWith(']')) ||
            line.indexOf('=') > 0)
            continue;
        why = QStringLiteral("malformed line \"%1\"").arg(QString::fromUtf8(line.left(80)));
        return false;
    }
    return true;
}

class CrashLoop : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!apptest::programBuilt())
            GTEST_SKIP() << "the veilport executable is not built";
        if (QStandardPaths::findExecutable(QStringLiteral("gsettings")).isEmpty())
            GTEST_SKIP() << "gsettings is needed to point the desktop at a proxy before a start";
        options = LoopOptions::fromEnvironment();

        // Two working proxies, so that an automatic change has somewhere to go.
        ASSERT_TRUE(proxies.start(2)) << proxies.errorText().toStdString();
        ASSERT_TRUE(service.start(
            {{proxies.proxyText(0), QStringLiteral("Canada"), QStringLiteral("-75.7"), QStringLiteral("45.4")},
             {proxies.proxyText(1), QStringLiteral("Japan"), QStringLiteral("139.7"), QStringLiteral("35.7")}}))
            << service.errorText().toStdString();
        ASSERT_TRUE(apptest::installPrivateProgram(root, service.oemDat(), program, channelName));
        settingsFolder = root.file(QStringLiteral("config/Veilport"));
        root.write(QStringLiteral("config/Veilport/UserFlag.ini"), "[Flag]\r\nAllUsers=0\r\n");
        // Hiding on, the shortest automatic change with cookie clearing, no Firefox to start, and a
        // marker the program never writes itself: each must survive every save and every kill.
        marker = QStringLiteral("kept-%1").arg(options.seed);
        expected = {{QStringLiteral("Hiding"), QStringLiteral("1")},
                    {QStringLiteral("ChangeIP"), QStringLiteral("1")},
                    {QStringLiteral("ChangeIPTime"), QStringLiteral("1")},
                    {QStringLiteral("ChearCookieWhenIPChanges"), QStringLiteral("1")},
                    {QStringLiteral("SETUPFF"), QStringLiteral("0")},
                    {QStringLiteral("FirstTimeRun"), QStringLiteral("0")},
                    {QStringLiteral("FF"), QStringLiteral("0")},
                    {QStringLiteral("CrashLoopMarker"), marker}};
        QByteArray settings = "[setting]\r\n";
        for (const auto& [key, value] : expected)
            settings += key.toUtf8() + '=' + value.toUtf8() + "\r\n";
        root.write(QStringLiteral("config/Veilport/Setting.dat"), settings);

        environment = testsupport::PrivateHome(root.path()).programEnvironment();
        keyfile = root.file(QStringLiteral("config/glib-2.0/settings/keyfile"));

        // What a kill while hiding leaves behind: the desktop pointed at a proxy.
        const QString http = QStringLiteral("org.gnome.system.proxy.http");
        ASSERT_TRUE(apptest::setDesktopKey(root, http, QStringLiteral("host"), QStringLiteral("'127.0.0.1'")));
        ASSERT_TRUE(apptest::setDesktopKey(root, http, QStringLiteral("port"), QString::number(proxies.port(0))));
        ASSERT_TRUE(apptest::setDesktopKey(root, QStringLiteral("org.gnome.system.proxy"), QStringLiteral("mode"),
                                           QStringLiteral("'manual'")));
        ASSERT_EQ(apptest::readDesktopProxy(keyfile).mode, QStringLiteral("manual"));
        killedWhileHiding = root.read(QStringLiteral("config/glib-2.0/settings/keyfile"));
    }

    void TearDown() override
    {
        if (m_copy && m_copy->state() != QProcess::NotRunning) {
            m_copy->kill();
            m_copy->waitForFinished(10000);
        }
    }

    QProcess* launch()
    {
        m_copy = std::make_unique<QProcess>();
        m_copy->setProcessEnvironment(environment);
        m_log = root.file(QStringLiteral("program.log"));
        // Both channels append to one emptied file, so that neither writes over the other's trace lines.
        root.write(QStringLiteral("program.log"), QByteArray());
        m_copy->setStandardOutputFile(m_log, QIODevice::Append);
        m_copy->setStandardErrorFile(m_log, QIODevice::Append);
        m_copy->start(program, {});
        m_copy->waitForStarted(10000);
        return m_copy.get();
    }

    // Collects the answer to a close request sent while the copy was being killed.
    void finishCloseRequest()
    {
        if (m_closeRequest.valid())
            m_closeRequest.get();
    }

    std::string programLog() const { return root.read(QStringLiteral("program.log")).right(4000).toStdString(); }

    // Whether Setting.dat reads back whole with every value the loop stored.
    bool settingsIntact(QString& why) const
    {
        const QByteArray bytes = root.read(QStringLiteral("config/Veilport/Setting.dat"));
        if (!looksLikeWholeIni(bytes, why))
            return false;
        TIniFile ini;
        ini.LoadFromBytes(bytes);
        for (const auto& [key, value] : expected) {
            const QString read = ini.ReadString(QStringLiteral("setting"), key, QStringLiteral("<absent>"));
            if (read != value) {
                why = QStringLiteral("%1=%2 instead of %3").arg(key, read, value);
                return false;
            }
        }
        TIniFile flag;
        flag.LoadFromBytes(root.read(QStringLiteral("config/Veilport/UserFlag.ini")));
        if (flag.ReadString(QStringLiteral("Flag"), QStringLiteral("AllUsers"), QString()) != QLatin1String("0")) {
            why = QStringLiteral("UserFlag.ini lost its choice");
            return false;
        }
        return true;
    }

    // Flag images that do not decode, and files that neither the program keeps nor its next start
    // removes (the temporary files of a save cut short are removed when the settings are opened).
    void inspectSettingsFolder(LoopFigures& figures) const
    {
        const QDir folder(settingsFolder);
        for (const QFileInfo& entry : folder.entryInfoList(QDir::Files | QDir::Hidden)) {
            const QString name = entry.fileName();
            if (name.endsWith(QLatin1String(".png"))) {
                QImageReader reader(entry.filePath(), "png");
                if (reader.read().isNull()) {
                    ++figures.badFlags;
                    std::printf("crash_loop_note flag %s does not decode (%lld bytes)\n", qPrintable(name),
                                entry.size());
                }
                continue;
            }
            if (name == QLatin1String("Setting.dat") || name == QLatin1String("UserFlag.ini") ||
                name == QLatin1String("proxylist.lst") || name.startsWith(QLatin1String("Setting.dat.tmp.")))
                continue;
            if (!m_strayReported.contains(name)) {
                m_strayReported.append(name);
                ++figures.strayFiles;
                std::printf("crash_loop_note stray file %s (%lld bytes)\n", qPrintable(name), entry.size());
            }
        }
    }

    // Waits until this copy has made a desktop write that matches, or the time is up.
    bool waitForWrite(QProcess* copy, const std::function<bool(const QList<QString>&)>& seen, int timeoutMs) const
    {
        return waitUntil([&] { return copy->state() == QProcess::NotRunning || seen(desktopWrites(m_log)); },
                         timeoutMs) &&
               copy->state() != QProcess::NotRunning;
    }

    static int countWrites(const QList<QString>& writes, const QString& prefix)
    {
        int found = 0;
        for (const QString& write : writes)
            found += write.contains(prefix) ? 1 : 0;
        return found;
    }

    static bool hasWrite(const QList<QString>& writes, const QString& prefix, int nth = 1)
    {
        return countWrites(writes, prefix) >= nth;
    }

    Moment pickMoment(int iteration, std::mt19937& random) const
    {
        if (options.rotations > 0) {
            // Spread the long runs over the loop.
            const int every = qMax(1, options.kills / options.rotations);
            if (iteration % every == every / 2 && iteration / every < options.rotations)
                return Moment::Rotating;
        }
        if (!options.full) {
            std::uniform_int_distribution<int> pick(0, 2);
            return Moment(pick(random));
        }
        // Weighted towards the moments at which the program writes something.
        static const std::array<Moment, 12> weighted = {
            Moment::Starting,     Moment::Starting,     Moment::Clearing,     Moment::Clearing,
            Moment::ListAndTests, Moment::ListAndTests, Moment::ListAndTests, Moment::Applying,
            Moment::Applying,     Moment::Hiding,       Moment::Closing,      Moment::Closing};
        std::uniform_int_distribution<int> pick(0, int(weighted.size()) - 1);
        return weighted[size_t(pick(random))];
    }

    // Lets the copy run up to the moment, then waits a random time more. False when the moment
    // did not come in time (the copy is killed all the same).
    bool runUntil(QProcess* copy, Moment moment, std::mt19937& random, const QElapsedTimer& sinceLaunch)
    {
        const auto pause = [&random](int from, int to) {
            std::uniform_int_distribution<int> ms(from, to);
            const int wait = ms(random);
            waitUntil([] { return false; }, wait);
        };
        const auto anyWrite = [](const QList<QString>& writes) { return !writes.isEmpty(); };
        const auto hiding = [](const QList<QString>& writes) { return hasWrite(writes, kManualWrite); };
        switch (moment) {
        case Moment::Starting:
            pause(0, 1200);
            return true;
        case Moment::Clearing:
            if (!waitForWrite(copy, anyWrite, kFirstWriteTimeoutMs))
                return false;
            pause(0, 250);
            return true;
        case Moment::ListAndTests:
            if (!waitForWrite(copy, anyWrite, kFirstWriteTimeoutMs))
                return false;
            pause(250, options.full ? 9000 : 1200);
            return true;
        case Moment::Applying:
            if (!waitForWrite(
                    copy, [](const QList<QString>& w) { return hasWrite(w, kHostWrite); }, kHideTimeoutMs))
                return false;
            pause(0, 400);
            return true;
        case Moment::Hiding:
            if (!waitForWrite(copy, hiding, kHideTimeoutMs))
                return false;
            pause(0, 3000);
            return true;
        case Moment::Closing: {
            if (!waitForWrite(copy, hiding, kHideTimeoutMs))
                return false;
            const QString name = channelName;
            m_closeRequest = std::async(std::launch::async, [name] {
                platform::UnixInstanceChannel client;
                return client.send(name, kInstanceClose, 0, {}, 5000);
            });
            pause(0, 400);
            return true;
        }
        case Moment::Rotating: {
            // The change comes a minute after the start; wait for the first proxy write after that.
            if (!waitForWrite(copy, hiding, kHideTimeoutMs))
                return false;
            waitUntil([&] { return copy->state() == QProcess::NotRunning; },
                      int(qMax<qint64>(0, kRotationEarliestMs - sinceLaunch.elapsed())));
            const int hostWritesBefore = countWrites(desktopWrites(m_log), kHostWrite);
            if (!waitForWrite(
                    copy, [&](const QList<QString>& w) { return hasWrite(w, kHostWrite, hostWritesBefore + 1); },
                    int(qMax<qint64>(1000, kRotationTimeoutMs - sinceLaunch.elapsed()))))
                return false;
            pause(0, 400);
            return true;
        }
        }
        return true;
    }

    // Checks one start's desktop writes; prints what was wrong.
    void judgeStart(bool foundProxy, LoopFigures& figures, int iteration) const
    {
        const QList<QString> writes = desktopWrites(m_log);
        if (writes.isEmpty())
            return;
        if (foundProxy)
            ++figures.afterProxy;
        if (writes.first() != kDirectWrite) {
            ++figures.notDirectFirst;
            std::printf("crash_loop_fault start %d: first desktop write was \"%s\"\n", iteration,
                        qPrintable(writes.first()));
        }
        if (hasWrite(writes, kManualWrite))
            ++figures.hideResumed;
    }

    void checkSettings(LoopFigures& figures, int iteration) const
    {
        QString why;
        if (!settingsIntact(why)) {
            ++figures.badSettings;
            std::printf("crash_loop_fault before start %d: Setting.dat %s\n", iteration, qPrintable(why));
        }
        inspectSettingsFolder(figures);
    }

    LoopOptions options;
    testsupport::TempDir root;
    testsupport::TinyproxyFixture proxies;
    testsupport::ListServiceFixture service;
    QString program;
    QString channelName;
    QString settingsFolder;
    QString keyfile;
    QString marker;
    QByteArray killedWhileHiding;
    std::map<QString, QString> expected;
    QProcessEnvironment environment;

private:
    std::unique_ptr<QProcess> m_copy;
    QString m_log;
    std::future<std::optional<qint32>> m_closeRequest;
    mutable QStringList m_strayReported;
};

} // namespace

TEST_F(CrashLoop, EveryStartAfterAKillFindsItsSettingsAndClearsTheDesktopFirst)
{
    std::printf("crash_loop_options kills=%d full=%d rotations=%d seed=%u\n", options.kills, int(options.full),
                options.rotations, options.seed);
    std::fflush(stdout);
    std::mt19937 random(options.seed);
    LoopFigures figures;
    QElapsedTimer total;
    total.start();
    int lastProgress = 0;

    for (int iteration = 0; figures.kills < options.kills; ++iteration) {
        checkSettings(figures, iteration);
        // The short loop never gets as far as hiding, so each start finds the desktop as a kill
        // while hiding leaves it; the full loop gets there by itself.
        if (!options.full)
            root.write(QStringLiteral("config/glib-2.0/settings/keyfile"), killedWhileHiding);
        const bool foundProxy = apptest::readDesktopProxy(keyfile).mode == QLatin1String("manual");

        const Moment moment = pickMoment(iteration, random);
        QProcess* copy = launch();
        ++figures.starts;
        QElapsedTimer sinceLaunch;
        sinceLaunch.start();
        if (!runUntil(copy, moment, random, sinceLaunch)) {
            ++figures.missedMoments;
            std::printf("crash_loop_note start %d: moment %s not reached in time\n", iteration,
                        kMomentNames[size_t(moment)]);
        }
        if (copy->state() != QProcess::NotRunning) {
            copy->kill();
            copy->waitForFinished(10000);
            ++figures.kills;
            ++figures.killsAt[size_t(moment)];
        } else if (moment == Moment::Closing && copy->exitStatus() == QProcess::NormalExit && copy->exitCode() == 0) {
            ++figures.closedByThemselves;
        } else {
            ++figures.unexpectedEnds;
            std::printf("crash_loop_fault start %d ended by itself (status %d, code %d)\n%s\n", iteration,
                        int(copy->exitStatus()), copy->exitCode(), programLog().c_str());
        }
        finishCloseRequest();
        judgeStart(foundProxy, figures, iteration);
        // Figures so far, so that a long loop cut short still tells what it saw.
        if (figures.kills / 25 > lastProgress / 25 && figures.kills < options.kills) {
            lastProgress = figures.kills;
            std::printf("crash_loop_progress kills=%d bad_settings=%d not_direct_first=%d hide_resumed=%d "
                        "after_proxy=%d seconds=%.0f\n",
                        figures.kills, figures.badSettings, figures.notDirectFirst, figures.hideResumed,
                        figures.afterProxy, double(total.elapsed()) / 1000.0);
        }
        std::fflush(stdout);
    }

    // The start after the last kill, left to run: it clears, hides again and closes normally.
    checkSettings(figures, figures.starts);
    if (!options.full)
        root.write(QStringLiteral("config/glib-2.0/settings/keyfile"), killedWhileHiding);
    const bool foundProxy = apptest::readDesktopProxy(keyfile).mode == QLatin1String("manual");
    QProcess* last = launch();
    ++figures.starts;
    const bool hidAgain = waitForWrite(
        last, [](const QList<QString>& writes) { return hasWrite(writes, kManualWrite); }, kHideTimeoutMs);
    judgeStart(foundProxy, figures, figures.starts - 1);
    {
        auto closed = std::async(std::launch::async, [this] {
            platform::UnixInstanceChannel client;
            return client.send(channelName, kInstanceClose, 0, {}, 10000);
        });
        waitUntil([last] { return last->state() == QProcess::NotRunning; }, 20000);
        closed.get();
    }
    EXPECT_EQ(last->state(), QProcess::NotRunning);
    EXPECT_EQ(last->exitCode(), 0) << programLog();
    checkSettings(figures, figures.starts);

    std::printf("crash_loop_moments");
    for (int m = 0; m < kMomentCount; ++m)
        std::printf(" %s=%d", kMomentNames[size_t(m)], figures.killsAt[size_t(m)]);
    std::printf("\ncrash_loop_details starts=%d after_proxy=%d missed_moments=%d closed=%d unexpected_ends=%d "
                "bad_flags=%d stray_files=%d seconds=%.1f\n",
                figures.starts, figures.afterProxy, figures.missedMoments, figures.closedByThemselves,
                figures.unexpectedEnds, figures.badFlags, figures.strayFiles, double(total.elapsed()) / 1000.0);
    std::printf("crash_loop kills=%d bad_settings=%d not_direct_first=%d hide_resumed=%d\n", figures.kills,
                figures.badSettings, figures.notDirectFirst, figures.hideResumed);
    std::fflush(stdout);

    EXPECT_EQ(figures.badSettings, 0);
    EXPECT_EQ(figures.notDirectFirst, 0);
    EXPECT_EQ(figures.unexpectedEnds, 0);
    // Every start got as far as its first desktop write at least once, and each of those found the
    // desktop pointed at a proxy in the short loop.
    EXPECT_GT(figures.afterProxy, 0);
    EXPECT_TRUE(hidAgain) << "the last start did not hide again\n" << programLog();
    EXPECT_GT(figures.hideResumed, 0);
}
