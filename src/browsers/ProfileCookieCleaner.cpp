#include "browsers/ProfileCookieCleaner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>

#include <cerrno>

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

namespace {

// A folder or file reached through a link, or one whose real place is not below base, is not part
// of the browser's own tree and is left alone.
bool isInside(const QString& path, const QString& base)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return false;
    const QString real = info.canonicalFilePath();
    const QString realBase = QFileInfo(base).canonicalFilePath();
    return !real.isEmpty() && !realBase.isEmpty() && real.startsWith(realBase + QLatin1Char('/'));
}

void addFirefoxProfiles(const QString& home, QList<ProfileCookieCleaner::Profile>& profiles)
{
    const QString base = home + QStringLiteral("/.mozilla/firefox");
    const QFileInfoList folders = QDir(base).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QFileInfo& folder : folders) {
        const QString database = folder.filePath() + QStringLiteral("/cookies.sqlite");
        if (!QFileInfo(database).isFile() || !isInside(folder.filePath(), base) || !isInside(database, base))
            continue;
        profiles.append({QStringLiteral("Firefox ") + folder.fileName(), database, folder.filePath(), true,
                         QStringLiteral("firefox")});
    }
}

void addChromiumProfiles(const QString& browser, const QString& family, const QString& userData,
                         QList<ProfileCookieCleaner::Profile>& profiles)
{
    const QFileInfoList folders = QDir(userData).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QFileInfo& folder : folders) {
        // Current versions keep the database under Network/, older ones beside the profile's other files.
        for (const QString& relative : {QStringLiteral("/Network/Cookies"), QStringLiteral("/Cookies")}) {
            const QString database = folder.filePath() + relative;
            if (!QFileInfo(database).isFile() || !isInside(folder.filePath(), userData) ||
                !isInside(database, userData))
                continue;
            profiles.append({browser + QLatin1Char(' ') + folder.fileName(), database, userData, false, family});
            break;
        }
    }
}

// Firefox holds an fcntl lock on .parentlock while it runs.
bool firefoxRuns(const QString& profileFolder)
{
    const QByteArray lock = QFile::encodeName(profileFolder + QStringLiteral("/.parentlock"));
    const int fd = ::open(lock.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    struct flock query
    {
    };
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET;
    const bool held = ::fcntl(fd, F_GETLK, &query) == 0 && query.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

// The Chromium family's SingletonLock is a link to "<host>-<pid>" while the browser runs.
bool chromiumRuns(const QString& userData)
{
    const QString target = QFileInfo(userData + QStringLiteral("/SingletonLock")).symLinkTarget();
    if (target.isEmpty())
        return false;
    const QString name = QFileInfo(target).fileName();
    const qsizetype dash = name.lastIndexOf(QLatin1Char('-'));
    bool ok = false;
    const qint64 pid = dash < 0 ? 0 : name.mid(dash + 1).toLongLong(&ok);
    if (!ok || pid <= 0)
        return true; // a lock we cannot read is taken as held
    if (name.left(dash) != QHostInfo::localHostName())
        return true; // held from another machine sharing the home
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// Deletes every cookie in the database; empty on success, else why not.
QString deleteCookies(const ProfileCookieCleaner::Profile& profile)
{
    sqlite3* db = nullptr;
    const QByteArray path = QFile::encodeName(profile.database);
    if (sqlite3_open_v2(path.constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr) != SQLITE_OK) {
        const QString error = db ? QString::fromUtf8(sqlite3_errmsg(db)) : QStringLiteral("cannot open");
        sqlite3_close(db);
        return error;
    }
    sqlite3_busy_timeout(db, 0);
    const char* table = profile.firefox ? "moz_cookies" : "cookies";
    QString error;
    // The exclusive transaction fails at once while any other connection holds the database.
    const int begun = sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
    if (begun == SQLITE_BUSY || begun == SQLITE_LOCKED) {
        error = QStringLiteral("in use by the running browser");
    } else if (begun != SQLITE_OK) {
        error = QStringLiteral("not a cookie database (%1)").arg(QString::fromUtf8(sqlite3_errmsg(db)));
    } else {
        const QByteArray statement = QByteArray("DELETE FROM ") + table;
        if (sqlite3_exec(db, statement.constData(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            error = QStringLiteral("not a cookie database (%1)").arg(QString::fromUtf8(sqlite3_errmsg(db)));
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        } else if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            error = QString::fromUtf8(sqlite3_errmsg(db));
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    sqlite3_close(db);
    return error;
}

} // namespace

QList<ProfileCookieCleaner::Profile> ProfileCookieCleaner::findProfiles(const QString& home, const QString& configHome)
{
    const QString userHome = home.isEmpty() ? QDir::homePath() : home;
    QString config = configHome;
    if (config.isEmpty())
        config = qEnvironmentVariable("XDG_CONFIG_HOME", userHome + QStringLiteral("/.config"));
    QList<Profile> profiles;
    addFirefoxProfiles(userHome, profiles);
    struct Family
    {
        QString label, family, folder;
    };
    const QList<Family> chromiumFamily = {
        {QStringLiteral("Chromium"), QStringLiteral("chromium"), QStringLiteral("chromium")},
        {QStringLiteral("Google Chrome"), QStringLiteral("google-chrome"), QStringLiteral("google-chrome")},
        {QStringLiteral("Brave"), QStringLiteral("brave"), QStringLiteral("BraveSoftware/Brave-Browser")},
        {QStringLiteral("Vivaldi"), QStringLiteral("vivaldi"), QStringLiteral("vivaldi")},
    };
    for (const Family& browser : chromiumFamily) {
        const QString userData = config + QLatin1Char('/') + browser.folder;
        if (QFileInfo(userData).isDir() && !QFileInfo(userData).isSymLink())
            addChromiumProfiles(browser.label, browser.family, userData, profiles);
    }
    return profiles;
}

bool ProfileCookieCleaner::inUse(const Profile& profile)
{
    return profile.firefox ? firefoxRuns(profile.lockOwner) : chromiumRuns(profile.lockOwner);
}

ProfileCookieCleaner::Result ProfileCookieCleaner::clear(const QList<Profile>& profiles)
{
    Result result;
    for (const Profile& profile : profiles) {
        const QString running = QStringLiteral("in use by the running browser");
        if (inUse(profile)) {
            result.skipped.append({profile.label + QStringLiteral(": ") + running, profile.family, true});
            continue;
        }
        const QString error = deleteCookies(profile);
        if (error.isEmpty())
            result.cleared << profile.label;
        else
            result.skipped.append({profile.label + QStringLiteral(": ") + error, profile.family, error == running});
    }
    return result;
}
