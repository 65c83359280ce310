#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

// Veilport's own tor, as a child process (not detached) so that it can be ended and its end is seen. It
// reads no system-wide configuration, keeps everything in its data folder, listens on 127.0.0.1 only on
// ports it chooses itself, and ends by itself when its owner goes away.
class TorProcess : public QObject
{
    Q_OBJECT

public:
    explicit TorProcess(QObject* parent = nullptr);
    // A tor still running is killed and reaped.
    ~TorProcess() override;

    // tor's configuration: one "Key value" line each, extra lines (such as "DisableNetwork 1") last.
    static QStringList configuration(const QString& dataFolder, qint64 ownerPid, const QStringList& extra = {});
    // The file in which tor writes its control port ("PORT=127.0.0.1:<port>").
    static QString controlPortFile(const QString& dataFolder);
    // The file in which tor writes the cookie a controller authenticates with.
    static QString cookieFile(const QString& dataFolder);
    // The port from a control port file; 0 when it is missing or does not read as one on 127.0.0.1.
    static quint16 readControlPortFile(const QString& path);

    // Starts program (the tor executable) with configuration(); false, with error, when it cannot be
    // started. exited() follows the end of a process that started.
    bool start(const QString& program, const QString& dataFolder, const QStringList& extra, QString* error);
    // Asks tor to end (SIGTERM) and kills it when it is still there after a grace period.
    void terminate();
    // Ends tor at once (SIGKILL).
    void kill();
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    qint64 processId() const { return m_process.processId(); }
    // The warnings and errors tor printed most recently, oldest first, without their time stamps.
    QStringList problems() const { return m_problems; }

signals:
    // The process ended; how reads "exit code 1", "ended by a signal" or why it could not run.
    void exited(const QString& how);

private:
    void readLog();

    QProcess m_process;
    QByteArray m_partialLine;
    QStringList m_problems;
    bool m_exitReported = false;
};
