#include "support/ListServiceFixture.h"

#include "support/LoopbackHttpResponder.h"

#include "support/EndsWithParent.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

namespace testsupport {

namespace {

constexpr int kStartTimeoutMs = 15000;

bool writeFile(const QString& path, const QByteArray& bytes)
{
    // Written atomically so the running service never reads half a pool.
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write(bytes);
    return f.commit();
}

} // namespace

ListServiceFixture::ListServiceFixture() : m_dir(QDir::tempPath() + "/veilport-listservice-XXXXXX") {}

ListServiceFixture::~ListServiceFixture()
{
    stop();
}

QString ListServiceFixture::executablePath()
{
    const QString name = QStringLiteral("veilport-listservice");
    const QString binDir = qEnvironmentVariable("VEILPORT_BIN_DIR");
    if (!binDir.isEmpty() && QFileInfo::exists(binDir + '/' + name))
        return binDir + '/' + name;
    return QDir(QCoreApplication::applicationDirPath() + "/../bin").absoluteFilePath(name);
}

QByteArray ListServiceFixture::poolText(const QList<Entry>& pool)
{
    QByteArray text = "# proxy|info|country|flag URL|longitude|latitude\n";
    for (const Entry& e : pool)
        text += QStringList{e.proxy, e.info, e.country, e.flagUrl, e.longitude, e.latitude}.join('|').toUtf8() + '\n';
    return text;
}

bool ListServiceFixture::start(const QList<Entry>& pool, const Options& options)
{
    return startWithPoolText(poolText(pool), options);
}

bool ListServiceFixture::startWithPoolText(const QByteArray& pool, const Options& options)
{
    stop();
    m_error.clear();
    m_stderr.clear();
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot create a temporary folder");
        return false;
    }
    const QString exe = executablePath();
    if (!QFileInfo(exe).isExecutable()) {
        m_error = QStringLiteral("list service not built: ") + exe;
        return false;
    }
    const QString poolFile = m_dir.filePath(QStringLiteral("pool.txt"));
    const QString confFile = m_dir.filePath(QStringLiteral("listservice.conf"));
    const QByteArray conf = QStringLiteral("LocalCountry=%1\nLocalLongitude=%2\nLocalLatitude=%3\nMagicWord=%4\n"
                                           "Result=%5\nInfo=%6\nPage=%7\n")
                                .arg(options.localCountry, options.localLongitude, options.localLatitude,
                                     options.magicWord, options.updateResult, options.updateInfo, options.updatePage)
                                .toUtf8() +
                            options.extraConfig.join('\n').toUtf8() + '\n';
    if (!writeFile(poolFile, pool) || !writeFile(confFile, conf)) {
        m_error = QStringLiteral("cannot write the pool or config file");
        return false;
    }
    if (!makeCertificate())
        return false;

    QStringList log =
        options.logRequests ? QStringList{QStringLiteral("--request-log"), requestLogFile()} : QStringList();
    if (options.verbose)
        log << QStringLiteral("--verbose");
    m_process = std::make_unique<QProcess>();
    testsupport::EndsWithParent(*m_process);
    m_process->start(exe, QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--tls-port"),
                                      QStringLiteral("0"), QStringLiteral("--cert"), certificateFile(),
                                      QStringLiteral("--key"), keyFile(), QStringLiteral("--pool"), poolFile,
                                      QStringLiteral("--config"), confFile, QStringLiteral("--max-per-address"),
                                      QString::number(options.maxPerAddress)} +
                              log);
    if (!m_process->waitForStarted(kStartTimeoutMs)) {
        m_error = QStringLiteral("list service did not start: ") + m_process->errorString();
        m_process.reset();
        return false;
    }
    // The service prints its real ports once it listens, the plain one first.
    static const QRegularExpression listening(
        QStringLiteral("listening on http://[^\\n]+:(\\d+)/\\n.*listening on https://[^\\n]+:(\\d+)/\\n"));
    QByteArray out;
    const QDeadlineTimer deadline(kStartTimeoutMs);
    while (!deadline.hasExpired() && m_process->state() == QProcess::Running) {
        m_process->waitForReadyRead(100);
        out += m_process->readAllStandardOutput();
        const auto match = listening.match(QString::fromUtf8(out));
        if (match.hasMatch()) {
            m_port = match.captured(1).toInt();
            m_tlsPort = match.captured(2).toInt();
            return true;
        }
    }
    m_stderr += m_process->readAllStandardError();
    m_error = QStringLiteral("list service did not come up: ") + QString::fromUtf8(out + m_stderr);
    stop();
    return false;
}

QString ListServiceFixture::requestLogFile() const
{
    return m_dir.filePath(QStringLiteral("requests.log"));
}

QStringList ListServiceFixture::requests() const
{
    QFile file(requestLogFile());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void ListServiceFixture::setPool(const QList<Entry>& pool)
{
    setPoolText(poolText(pool));
}

void ListServiceFixture::setPoolText(const QByteArray& pool)
{
    writeFile(m_dir.filePath(QStringLiteral("pool.txt")), pool);
}

void ListServiceFixture::stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
    m_stderr += m_process->readAllStandardError();
    m_process.reset();
    m_port = 0;
    m_tlsPort = 0;
}

bool ListServiceFixture::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

QString ListServiceFixture::host() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_port);
}

QString ListServiceFixture::url(const QString& path) const
{
    return QStringLiteral("http://") + host() + path;
}

QString ListServiceFixture::tlsUrl(const QString& path) const
{
    return QStringLiteral("https://127.0.0.1:%1").arg(m_tlsPort) + path;
}

QString ListServiceFixture::certificateFile() const
{
    return m_dir.filePath(QStringLiteral("127.0.0.1.pem")); // as LoopbackHttpResponder::makeCertificate names it
}

QString ListServiceFixture::keyFile() const
{
    return m_dir.filePath(QStringLiteral("127.0.0.1.key"));
}

bool ListServiceFixture::makeCertificate()
{
    if (QFileInfo::exists(certificateFile()))
        return true; // made for an earlier start of this fixture
    QString certificate;
    QString key;
    if (LoopbackHttpResponder::makeCertificate(m_dir.path(), QStringLiteral("127.0.0.1"), &certificate, &key, &m_error))
        return true;
    m_error += QStringLiteral(" (run scripts/setup)");
    QFile::remove(certificateFile());
    return false;
}

QByteArray ListServiceFixture::oemDat() const
{
    const QString h = host();
    return QStringLiteral("[const]\n"
                          "URL.ServiceHost=%1\n"
                          "URL.SiteHost=%1\n"
                          "URL.GETPROXY=http://%1/getproxy.php\n"
                          "URL.InfoURL=http://%1/info.php\n"
                          "URL.IPSEEKER=http://%1/ipseeker.php\n"
                          "URL.CHECK=http://%1/check\n"
                          "URL.Redirect=http://%1/redirect.php\n"
                          "URL.help=http://%1/help.php\n"
                          "URL.home=http://%1/\n"
                          "URL.TUNNELTEST=%2\n")
        .arg(h, tlsUrl(QStringLiteral("/getip.php?VER=2")))
        .toUtf8();
}

QByteArray ListServiceFixture::errorOutput()
{
    if (m_process)
        m_stderr += m_process->readAllStandardError();
    return m_stderr;
}

} // namespace testsupport
