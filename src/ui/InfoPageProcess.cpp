#include "ui/InfoPageProcess.h"

#include "platform/ProcessProxy.h"
#include "ui/InfoPageMessages.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QTimer>
#include <QUrl>

#include <csignal>
#include <utility>
#include <sys/prctl.h>

namespace {
Q_LOGGING_CATEGORY(lcInfoPage, "veilport.infopage")

// How long a helper asked to quit may take before it is killed: the engine shuts its own processes down first.
constexpr int kQuitGraceMs = 5000;
} // namespace

InfoPageProcess::InfoPageProcess(QObject* parent) : QObject(parent) {}

InfoPageProcess::~InfoPageProcess()
{
    retire();
}

QString InfoPageProcess::helperProgram()
{
    const QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/veilport-infopage");
    return QFileInfo(path).isExecutable() ? path : QString();
}

bool InfoPageProcess::start(const QString& program, WId window, QSize size)
{
    if (m_process || program.isEmpty() || !window)
        return false;
    m_program = program;
    m_window = window;
    m_size = size;
    if (!launch())
        return false;
    platform::watchProcessProxy(this, [this](const QString&) { restart(); });
    return true;
}

bool InfoPageProcess::launch()
{
    auto* process = new QProcess(this);
    process->setProgram(m_program);
    // Its messages, and those of the engine's processes, go where the program's go.
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->setChildProcessModifier([] {
        // A program that dies without letting go takes the page with it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    });
    process->start(QIODevice::ReadWrite);
    // Only as long as the fork and exec take.
    if (!process->waitForStarted(5000)) {
        qCWarning(lcInfoPage).noquote() << "cannot start the info-page helper:" << process->errorString();
        delete process;
        return false;
    }
    m_process = process;
    m_pending.clear();
    m_shown = false;
    connect(process, &QProcess::readyReadStandardOutput, this, &InfoPageProcess::readOutput);
    connect(process, &QProcess::finished, this, &InfoPageProcess::helperEnded);
    // The proxy first: the engine reads it when it starts, with the page.
    send(infopage::line(infopage::kProxy, platform::processProxy().toUtf8()));
    resize(m_size);
    send(infopage::line(infopage::kEmbed, QByteArray::number(quint64(m_window))));
    if (!m_url.isEmpty())
        send(infopage::line(infopage::kOpen, QUrl(m_url).toEncoded()));
    return true;
}

void InfoPageProcess::restart()
{
    if (!m_process)
        return;
    retire();
    emit cookiesGone();
    if (!launch()) {
        emit failed();
        deleteLater();
    }
}

void InfoPageProcess::retire()
{
    QProcess* process = std::exchange(m_process, nullptr);
    if (!process)
        return;
    process->disconnect(this);
    if (process->state() == QProcess::NotRunning) {
        process->deleteLater();
        return;
    }
    // It goes on its own: the program does not wait for the engine to shut down.
    process->setParent(nullptr);
    connect(process, &QProcess::finished, process, &QObject::deleteLater);
    QTimer::singleShot(kQuitGraceMs, process, [process] { process->kill(); });
    process->closeWriteChannel();
}

void InfoPageProcess::open(const QString& url)
{
    m_url = url;
    send(infopage::line(infopage::kOpen, QUrl(url).toEncoded()));
}

void InfoPageProcess::resize(QSize size)
{
    m_size = size;
    send(infopage::line(infopage::kSize, QByteArray::number(size.width()) + ' ' + QByteArray::number(size.height())));
}

void InfoPageProcess::deleteCookie(const QNetworkCookie& cookie)
{
    send(infopage::line(infopage::kDeleteCookie, infopage::encodeCookie(cookie)));
}

void InfoPageProcess::clearVisitedLinks()
{
    send(infopage::line(infopage::kClearVisited));
}

void InfoPageProcess::clearHttpCache()
{
    send(infopage::line(infopage::kClearCache));
}

void InfoPageProcess::end()
{
    retire();
    emit cookiesGone();
    deleteLater();
}

qint64 InfoPageProcess::processId() const
{
    return m_process ? m_process->processId() : 0;
}

void InfoPageProcess::send(const QByteArray& line)
{
    if (m_process && m_process->state() == QProcess::Running)
        m_process->write(line);
}

void InfoPageProcess::readOutput()
{
    m_pending += m_process->readAllStandardOutput();
    for (const QByteArray& line : infopage::takeLines(m_pending))
        handle(line);
    if (m_pending.size() > infopage::kMaxLine) {
        qCWarning(lcInfoPage) << "an overlong line from the info-page helper, ending it";
        m_pending.clear();
        m_process->kill();
    }
}

void InfoPageProcess::handle(const QByteArray& line)
{
    const auto [word, argument] = infopage::split(line);
    if (word == infopage::kShown) {
        m_shown = true;
    } else if (word == infopage::kProgress) {
        bool ok = false;
        const int percent = argument.toInt(&ok);
        if (ok && percent >= 0 && percent <= 100)
            emit loadProgress(percent);
    } else if (word == infopage::kLoaded) {
        emit loadFinished(argument == "1");
    } else if (word == infopage::kCookieAdded || word == infopage::kCookieRemoved) {
        const auto cookie = infopage::decodeCookie(argument);
        if (!cookie)
            return;
        if (word == infopage::kCookieAdded)
            emit cookieAdded(*cookie);
        else
            emit cookieRemoved(*cookie);
    }
}

void InfoPageProcess::helperEnded()
{
    qCWarning(lcInfoPage) << "the info-page helper ended by itself, exit" << m_process->exitCode();
    retire();
    emit cookiesGone();
    emit failed();
    deleteLater();
}
