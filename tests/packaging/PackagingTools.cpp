#include "PackagingTools.h"

#include <QDir>
#include <QProcess>

namespace packaging {

RunResult RunTool(const QString& program, const QStringList& args, const QProcessEnvironment& env, int timeoutMs)
{
    RunResult result;
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, args);
    if (!process.waitForStarted(10000)) {
        result.err = process.errorString();
        return result;
    }
    result.finished = process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

QString BuildDir()
{
    return QStringLiteral(VEILPORT_BUILD_DIR);
}

QString SourceDir()
{
    return QStringLiteral(VEILPORT_SOURCE_ROOT);
}

QStringList FilesIn(const QString& folder, const QString& pattern)
{
    return QDir(folder).entryList({pattern}, QDir::Files, QDir::Name);
}

QString IniValue(const QByteArray& text, const QString& key)
{
    for (const QByteArray& raw : text.split('\n')) {
        const QString line = QString::fromLocal8Bit(raw).trimmed();
        const qsizetype eq = line.indexOf(u'=');
        if (eq > 0 && line.left(eq).trimmed().compare(key, Qt::CaseInsensitive) == 0)
            return line.mid(eq + 1).trimmed();
    }
    return QString();
}

} // namespace packaging
