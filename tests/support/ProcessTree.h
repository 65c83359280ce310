#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QList>

#include <unistd.h>

namespace testsupport {

// The processes below pid (its children, theirs, and so on), read from /proc at this moment.
inline QList<qint64> descendantProcesses(qint64 pid = getpid())
{
    QHash<qint64, qint64> parentOf;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool ok = false;
        const qint64 each = entry.toLongLong(&ok);
        if (!ok)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(each));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        // The command may hold blanks and brackets; the fields after its closing bracket are plain.
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1)
            parentOf.insert(each, fields.at(1).toLongLong());
    }
    QList<qint64> found{pid};
    for (int i = 0; i < found.size(); ++i)
        for (auto it = parentOf.cbegin(); it != parentOf.cend(); ++it)
            if (it.value() == found.at(i) && !found.contains(it.key()))
                found << it.key();
    found.removeFirst();
    return found;
}

// The command line of a process, its arguments separated by blanks; empty once it has ended.
inline QByteArray processCommandLine(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll().replace('\0', ' ').trimmed();
}

// The web engine's page (renderer) processes below this one: started by the engine itself, or forked by its
// zygotes, whose children keep the zygote's command line.
inline int webEnginePageProcesses()
{
    int count = 0;
    for (qint64 pid : descendantProcesses()) {
        const QList<QByteArray> arguments = processCommandLine(pid).split(' ');
        if (arguments.contains("--type=renderer"))
            ++count;
        else if (arguments.contains("--type=zygote"))
            count += int(descendantProcesses(pid).size());
    }
    return count;
}

} // namespace testsupport
