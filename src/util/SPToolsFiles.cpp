// Path and file routines of SPTools.
#include "util/ByteText.h"
#include "util/SPTools.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray toPath(const QString& path)
{
    return TextToBytes(path);
}

// write() until everything is written or a real error occurs.
bool writeAll(int fd, const char* data, qsizetype size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

} // namespace

QString GetExeFileName()
{
    char buffer[PATH_MAX + 1];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, PATH_MAX);
    if (length <= 0)
        return QString();
    const QByteArray path(buffer, int(length));
    // A package upgrade replaces the running file; the kernel then names the old one with this mark.
    // The file now installed under the name is what a restart or a log-on entry must run.
    static const QByteArray deletedMark(" (deleted)");
    if (path.endsWith(deletedMark)) {
        struct stat running;
        struct stat named;
        const QByteArray installed = path.chopped(deletedMark.size());
        const bool reallyNamed = ::stat("/proc/self/exe", &running) == 0 && ::stat(path.constData(), &named) == 0 &&
                                 running.st_dev == named.st_dev && running.st_ino == named.st_ino;
        if (!reallyNamed && ::access(installed.constData(), F_OK) == 0)
            return BytesToText(installed);
    }
    return BytesToText(path);
}

QString GetAppPath()
{
    const QString exe = GetExeFileName();
    const int slash = exe.lastIndexOf(u'/');
    if (slash < 0)
        return QString();
    return IncludeBackslash(GetLongPath(exe.left(slash + 1)));
}

QString GetLongPath(const QString& path)
{
    if (path.isEmpty())
        return path;
    char buffer[PATH_MAX + 1];
    if (!::realpath(toPath(path).constData(), buffer))
        return path;
    QString longPath = BytesToText(QByteArray(buffer));
    if (path.endsWith(u'/') && !longPath.endsWith(u'/'))
        longPath += u'/';
    return longPath;
}

QString IncludeBackslash(const QString& folder)
{
    if (folder.isEmpty())
        return folder;
    QString result = folder;
    while (result.size() > 1 && result.endsWith(u'/') && result[result.size() - 2] == u'/')
        result.chop(1);
    if (!result.endsWith(u'/'))
        result += u'/';
    return result;
}

QString CombinePath(const QString& dir, const QString& path)
{
    if (path.startsWith(u'/') || dir.isEmpty())
        return path;
    return IncludeBackslash(dir) + path;
}

bool IsPlainFileName(const QString& name)
{
    if (name.isEmpty() || name.contains(QLatin1String("..")))
        return false;
    for (const QChar c : name) {
        if (c == u'/' || c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    }
    return true;
}

QString ExtractFileTitle(const QString& fileName)
{
    QString name = fileName.mid(fileName.lastIndexOf(u'/') + 1);
    const int dot = name.lastIndexOf(u'.');
    if (dot >= 0)
        name.truncate(dot);
    return name;
}

void ListFiles(const QString& mask, QStringList& list, bool withFolder)
{
    const int slash = mask.lastIndexOf(u'/');
    const QString folder = mask.left(slash + 1);
    const QString pattern = mask.mid(slash + 1);
    if (pattern.isEmpty())
        return;
    const QDir dir(folder.isEmpty() ? QStringLiteral(".") : folder);
    // Regular files only (links to them included): a FIFO or device among the matches would make
    // whoever reads the list block or read garbage.
    const QFileInfoList entries = dir.entryInfoList({pattern}, QDir::Files | QDir::Hidden, QDir::Unsorted);
    for (const QFileInfo& entry : entries)
        list.append(withFolder ? folder + entry.fileName() : entry.fileName());
}

bool SaveTextToFile(const QString& text, const QString& fileName)
{
    static const QRegularExpression lineBreak(QStringLiteral("\r\n|\r|\n"));
    QStringList lines = text.split(lineBreak);
    // A text that ends with a line break has no further line after it.
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    QString content;
    for (const QString& line : lines)
        content += line + QStringLiteral("\r\n");
    return AtomicWriteFile(fileName, TextToBytes(content));
}

namespace {

// The process's file creation mask, read without changing it: setting it to learn it would, for that
// moment, give files other threads create (flag downloads, child processes) world-writable permissions.
mode_t currentUmask()
{
    QFile status(QStringLiteral("/proc/self/status"));
    // Files under /proc report a size of 0, so the whole text is read rather than line by line up to atEnd().
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
                if (ok)
                    return mode_t(mask & 0777);
            }
        }
    }
    return 022; // the usual mask, for kernels that do not report it
}

} // namespace

bool AtomicWriteFile(const QString& path, const QByteArray& bytes)
{
    if (path.isEmpty())
        return false;
    // A link is replaced like any file, never followed: in a folder that another user can write,
    // a link would make this program overwrite whatever file that user points it at.
    const QByteArray target = toPath(path);
    const int slash = target.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : target.left(slash);
    QByteArray temp = target + ".tmp.XXXXXX";

    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    // Keep the permissions of the file being replaced when it is this user's own regular file; a new
    // file (or one that was another user's, or a link) gets the usual ones.
    struct stat old;
    if (::lstat(target.constData(), &old) == 0 && S_ISREG(old.st_mode) && old.st_uid == ::geteuid())
        ::fchmod(fd, old.st_mode & 07777);
    else
        ::fchmod(fd, 0666 & ~currentUmask());
    const bool written = writeAll(fd, bytes.constData(), bytes.size()) && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !written || ::rename(temp.constData(), target.constData()) != 0) {
        // Callers report errno; the clean-up must not replace it.
        const int error = errno;
        ::unlink(temp.constData());
        errno = error;
        return false;
    }
    // The rename itself only survives a power cut once the folder is on disk.
    const int dirFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

bool CheckFileAccess(const QString& path)
{
    if (path.isEmpty())
        return false;
    return ::faccessat(AT_FDCWD, toPath(path).constData(), W_OK, AT_EACCESS) == 0;
}
