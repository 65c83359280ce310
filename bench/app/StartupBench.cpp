// Cold start of the program until its main window is shown, and the close through the instance
// channel, measured over several runs of the real executable (offscreen, private home).
// Prints name=value lines. Usage: bench_startup [runs] [path to veilport]
#include "platform/UnixInstanceChannel.h"
#include "support/PrivateHome.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double median(std::vector<double> values)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

void copyFolder(const QString& from, const QString& to)
{
    QDir().mkpath(to);
    for (const QFileInfo& entry : QDir(from).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (entry.isDir())
            copyFolder(entry.filePath(), to + u'/' + entry.fileName());
        else
            QFile::copy(entry.filePath(), to + u'/' + entry.fileName());
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 7;
    const QString source = argc > 2 ? QString::fromLocal8Bit(argv[2])
                                    : QCoreApplication::applicationDirPath() + QStringLiteral("/veilport");
    if (!QFileInfo(source).isExecutable()) {
        std::fprintf(stderr, "no executable at %s\n", qPrintable(source));
        return 2;
    }

    // A private installation, so a copy of the program that runs elsewhere is never disturbed.
    QTemporaryDir root;
    const QString program = root.filePath(QStringLiteral("program/veilport"));
    QDir().mkpath(root.filePath(QStringLiteral("program")));
    QFile::copy(source, program);
    copyFolder(QFileInfo(source).absolutePath() + QStringLiteral("/res"), root.filePath(QStringLiteral("program/res")));
    const QString guid = QUuid::createUuid().toString();
    QFile constants(root.filePath(QStringLiteral("program/const.dat")));
    constants.open(QIODevice::WriteOnly);
    constants.write("[const]\nApp.ConfigPath=Veilport\nApp.Ver=1.0.0.0\nApp.GUID=" + guid.toUtf8() + "\nApp.ID=7\n");
    constants.close();
    const QString name = QStringLiteral("Global\\") + guid;

    const testsupport::PrivateHome privateHome(root.path());
    privateHome.create();
    QProcessEnvironment env = privateHome.programEnvironment();
    env.insert(QStringLiteral("VEILPORT_TRACE_STARTUP"), QStringLiteral("1"));

    std::vector<double> toWindow, inProcess, toAnswer, toClose, secondStart;
    int failures = 0;
    for (int run = 0; run <= runs; ++run) { // run 0 warms the file cache and creates the settings
        QProcess copy;
        copy.setProcessEnvironment(env);
        QElapsedTimer timer;
        timer.start();
        copy.start(program, {});
        QByteArray err;
        qint64 shownAt = -1;
        double reported = -1;
        const QDeadlineTimer deadline(60000);
        while (shownAt < 0 && !deadline.hasExpired() && copy.state() != QProcess::NotRunning) {
            copy.waitForReadyRead(50);
            err += copy.readAllStandardError();
            const int at = err.indexOf("main window shown after ");
            if (at >= 0 && err.indexOf('\n', at) > 0) {
                shownAt = timer.elapsed();
                reported = err.mid(at + 24).split(' ').front().toDouble();
            }
        }
        platform::UnixInstanceChannel client;
        while (!deadline.hasExpired() && client.send(name, 2135, 0, {}, 1000) != 7)
            QThread::msleep(10);
        const qint64 answeredAt = timer.elapsed();

        QElapsedTimer second;
        second.start();
        QProcess again;
        again.setProcessEnvironment(env);
        again.start(program, {});
        again.waitForFinished(30000);
        const qint64 secondMs = second.elapsed();

        QElapsedTimer closing;
        closing.start();
        client.send(name, 2027, 0, {}, 10000);
        const bool closed = copy.waitForFinished(30000);
        const qint64 closeMs = closing.elapsed();
        if (shownAt < 0 || !closed) {
            ++failures;
            copy.kill();
            copy.waitForFinished(5000);
            continue;
        }
        if (run == 0)
            continue;
        toWindow.push_back(double(shownAt));
        inProcess.push_back(reported);
        toAnswer.push_back(double(answeredAt));
        toClose.push_back(double(closeMs));
        secondStart.push_back(double(secondMs));
    }

    std::printf("startup_runs=%zu\n", toWindow.size());
    std::printf("startup_failures=%d\n", failures);
    std::printf("startup_to_window_shown_ms_median=%.0f\n", median(toWindow));
    std::printf("startup_in_process_to_window_ms_median=%.0f\n", median(inProcess));
    std::printf("startup_to_first_answer_ms_median=%.0f\n", median(toAnswer));
    std::printf("second_start_total_ms_median=%.0f\n", median(secondStart));
    std::printf("close_by_message_ms_median=%.0f\n", median(toClose));
    return failures == 0 ? 0 : 1;
}
