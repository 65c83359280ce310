#include "tor/TorController.h"

#include "tor/TorControlConnection.h"
#include "tor/TorProcess.h"
#include "tor/TorQueries.h"
#include "tor/TorReplyText.h"

#include <QDir>
#include <QFile>
#include <QPointer>

#include <filesystem>
#include <system_error>

namespace {
constexpr int PortPollMs = 50;
// How long a control connection that tor closed waits for tor's exit, whose cause says more.
constexpr int ExitGraceMs = 1000;
// tor delays a new identity by at most 10 seconds; a request it never confirms is forgotten after this.
constexpr int IdentityDeadlineMs = 15000;
constexpr qint64 CookieSize = 32;
const QByteArray RateLimitNotice = "NOTICE Rate limiting NEWNYM request: delaying by ";

QString refusal(const char* what, const TorControlReply& reply)
{
    return QStringLiteral("Tor refused %1 (%2 %3)")
        .arg(QLatin1String(what))
        .arg(reply.code)
        .arg(QString::fromLatin1(reply.firstText().left(120)));
}

bool hasControlCharacter(const QString& text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    return false;
}
} // namespace

TorController::TorController(TorOptions options, QObject* parent) : QObject(parent), m_options(std::move(options))
{
    m_portPoll.setInterval(PortPollMs);
    connect(&m_portPoll, &QTimer::timeout, this, &TorController::pollControlPort);
    m_bootstrapDeadline.setSingleShot(true);
    connect(&m_bootstrapDeadline, &QTimer::timeout, this, [this] {
        QString message = QStringLiteral("Tor could not connect to the Tor network within %1 seconds")
                              .arg((m_options.bootstrapTimeoutMs + 999) / 1000);
        if (m_progress >= 0)
            message += QStringLiteral(" (it got to %1 %: %2)").arg(m_progress).arg(m_summary);
        else
            message += QStringLiteral(" (its control port never opened)");
        if (!m_bootstrapWarning.isEmpty())
            message += QStringLiteral(": ") + m_bootstrapWarning;
        fail(message);
    });
    m_exitGrace.setSingleShot(true);
    m_exitGrace.setInterval(ExitGraceMs);
    connect(&m_exitGrace, &QTimer::timeout, this, [this] { fail(m_connectionFailure); });
    m_identityDeadline.setSingleShot(true);
    m_identityDeadline.setInterval(IdentityDeadlineMs);
    connect(&m_identityDeadline, &QTimer::timeout, this, [this] { m_identityPending = false; });
}

TorController::~TorController()
{
    delete m_control;
    // Kills and reaps a tor still running, without signals to this half-destroyed object.
    delete m_process;
}

qint64 TorController::processId() const
{
    return m_process && m_process->isRunning() ? m_process->processId() : 0;
}

void TorController::start()
{
    if (m_state != State::Stopped && m_state != State::Failed)
        return;
    ++m_run;
    m_state = State::Starting;
    m_bootstrapDeadline.start(m_options.bootstrapTimeoutMs);
    // The tor before this one must be gone: two cannot share the data folder.
    if (m_process && m_process->isRunning()) {
        m_startWhenEnded = true;
        return;
    }
    launch();
}

void TorController::launch()
{
    m_progress = -1;
    m_summary.clear();
    m_bootstrapWarning.clear();
    m_socksPort = 0;

    const QString program = m_options.program.isEmpty() ? TorOptions::findProgram() : m_options.program;
    if (program.isEmpty())
        return fail(QStringLiteral("Tor is not installed: Veilport needs the program \"tor\" from the package "
                                   "\"tor\" (install it with \"sudo apt install tor\")."));

    const QString folder = QDir::cleanPath(m_options.dataFolder);
    if (!QDir::isAbsolutePath(folder) || hasControlCharacter(folder))
        return fail(QStringLiteral("\"%1\" cannot be Tor's data folder: it must be a plain absolute path").arg(folder));
    std::error_code error;
    const std::filesystem::path path(QFile::encodeName(folder).toStdString());
    std::filesystem::create_directories(path, error);
    if (!error)
        std::filesystem::permissions(path, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace,
                                     error);
    if (error)
        return fail(QStringLiteral("Cannot use %1 as Tor's data folder: %2")
                        .arg(folder, QString::fromStdString(error.message())));
    // A port file left by an earlier tor would point at a port that is gone, or someone else's.
    const QString portFile = TorProcess::controlPortFile(folder);
    if (QFile::exists(portFile) && !QFile::remove(portFile))
        return fail(QStringLiteral("Cannot remove %1 from Tor's data folder").arg(portFile));

    if (m_process)
        m_process->deleteLater();
    m_process = new TorProcess(this);
    connect(m_process, &TorProcess::exited, this, &TorController::onTorExited);
    QString why;
    if (!m_process->start(program, folder, m_options.extraConfig, &why))
        return fail(QStringLiteral("Cannot start Tor: %1").arg(why));
    m_portPoll.start();
}

void TorController::pollControlPort()
{
    const QString folder = QDir::cleanPath(m_options.dataFolder);
    const quint16 port = TorProcess::readControlPortFile(TorProcess::controlPortFile(folder));
    if (port == 0)
        return;
    QFile cookieFile(TorProcess::cookieFile(folder));
    if (!cookieFile.open(QIODevice::ReadOnly))
        return;
    const QByteArray cookie = cookieFile.read(CookieSize + 1);
    if (cookie.size() != CookieSize)
        return; // tor writes it whole; keep looking until the deadline
    m_portPoll.stop();
    m_control = new TorControlConnection(this);
    m_control->setReplyTimeout(m_options.controlTimeoutMs);
    connect(m_control, &TorControlConnection::authenticated, this, &TorController::onAuthenticated);
    connect(m_control, &TorControlConnection::event, this, &TorController::onEvent);
    connect(m_control, &TorControlConnection::failed, this, &TorController::onConnectionFailed);
    m_control->open(port, cookie);
}

void TorController::onAuthenticated()
{
    // tor also ends when this connection closes, the moment Veilport dies, besides polling for our pid.
    m_control->send("TAKEOWNERSHIP", [this](const TorControlReply& reply) {
        if (!reply.isOk())
            fail(refusal("to be owned by Veilport", reply));
    });
    m_control->send("SETEVENTS STATUS_CLIENT SIGNAL NOTICE", [this](const TorControlReply& reply) {
        if (!reply.isOk())
            fail(refusal("to report its progress", reply));
    });
    // Asked after SETEVENTS, so that no step of the bootstrap falls between the two.
    m_control->send("GETINFO status/bootstrap-phase", [this](const TorControlReply& reply) {
        if (!reply.isOk())
            return fail(refusal("to tell its progress", reply));
        if (m_state != State::Starting)
            return;
        m_state = State::Bootstrapping;
        QPointer<TorController> self(this);
        emit controlReady();
        if (self && m_state == State::Bootstrapping)
            onBootstrapPhase(reply.value("status/bootstrap-phase"));
    });
}

void TorController::onEvent(const TorControlReply& event)
{
    const QByteArray text = event.firstText();
    if (text.startsWith("STATUS_CLIENT ")) {
        onBootstrapPhase(text.mid(int(qstrlen("STATUS_CLIENT "))));
    } else if (text == "SIGNAL NEWNYM") {
        m_identityPending = false;
        m_identityDeadline.stop();
        emit identityChanged();
    } else if (text.startsWith(RateLimitNotice)) {
        bool ok = false;
        const int seconds = text.mid(RateLimitNotice.size()).split(' ').value(0).toInt(&ok);
        if (ok && seconds >= 0 && seconds <= 60)
            emit identityDelayed(seconds);
    }
}

void TorController::onBootstrapPhase(const QByteArray& phase)
{
    // "NOTICE BOOTSTRAP PROGRESS=45 TAG=... SUMMARY=\"...\"" or "WARN BOOTSTRAP ... WARNING=\"...\""
    const QList<QByteArray> words = torreply::words(phase);
    if (words.size() < 2 || words.at(1) != "BOOTSTRAP" || m_state != State::Bootstrapping)
        return;
    const QMap<QByteArray, QByteArray> arguments = torreply::keywordArguments(phase);
    bool ok = false;
    const int progress = arguments.value("PROGRESS").toInt(&ok);
    if (!ok || progress < 0 || progress > 100)
        return;
    const QString summary = QString::fromUtf8(arguments.value("SUMMARY")).left(200);
    if (words.at(0) == "WARN")
        m_bootstrapWarning = QString::fromUtf8(arguments.value("WARNING", arguments.value("SUMMARY"))).left(200);
    if (progress != m_progress || summary != m_summary) {
        m_progress = progress;
        m_summary = summary;
        QPointer<TorController> self(this);
        emit bootstrapProgress(progress, summary);
        if (!self || m_state != State::Bootstrapping)
            return;
    }
    if (progress == 100)
        requestSocksPort();
}

void TorController::requestSocksPort()
{
    m_control->send("GETINFO net/listeners/socks", [this](const TorControlReply& reply) {
        if (!reply.isOk())
            return fail(refusal("to name its SOCKS port", reply));
        if (m_state != State::Bootstrapping)
            return;
        const QByteArray prefix = "127.0.0.1:";
        for (const QByteArray& listener : torreply::words(reply.value("net/listeners/socks"))) {
            bool ok = false;
            const uint port = listener.startsWith(prefix) ? listener.mid(prefix.size()).toUInt(&ok) : 0;
            if (ok && port > 0 && port < 65536) {
                m_socksPort = quint16(port);
                m_bootstrapDeadline.stop();
                m_state = State::Ready;
                emit ready(QStringLiteral("127.0.0.1"), m_socksPort);
                return;
            }
        }
        fail(QStringLiteral("Tor is connected but opened no SOCKS port on 127.0.0.1"));
    });
}

void TorController::onTorExited(const QString& how)
{
    if (m_startWhenEnded) {
        m_startWhenEnded = false;
        m_stopping = false;
        return launch();
    }
    if (m_stopping) {
        m_stopping = false;
        emit stopped();
        return;
    }
    if (!active())
        return;
    QString message = QStringLiteral("Tor stopped unexpectedly (%1)").arg(how);
    QStringList problems = m_process->problems();
    // Running the tests as root adds this warning to every run; it explains nothing.
    problems.removeIf(
        [](const QString& line) { return line.startsWith(QStringLiteral("You are running Tor as root")); });
    if (!problems.isEmpty())
        message += QStringLiteral(": ") + problems.mid(qMax(0, problems.size() - 3)).join(QStringLiteral(" "));
    fail(message);
}

void TorController::onConnectionFailed(const QString& message)
{
    if (!active())
        return;
    m_connectionFailure = QStringLiteral("Lost the control connection to Tor: %1").arg(message);
    const bool closedByTor = m_control->closedByPeer();
    m_control->deleteLater();
    m_control = nullptr;
    // When tor itself ended, its exit (with the warnings it printed) explains more than the closed connection.
    if (closedByTor && m_process && m_process->isRunning())
        return m_exitGrace.start();
    fail(m_connectionFailure);
}

void TorController::fail(const QString& message)
{
    if (m_state == State::Stopped || m_state == State::Failed)
        return;
    tearDown();
    m_state = State::Failed;
    if (m_process)
        m_process->kill();
    const int run = m_run;
    QMetaObject::invokeMethod(
        this,
        [this, run, message] {
            if (run == m_run && m_state == State::Failed)
                emit failed(message);
        },
        Qt::QueuedConnection);
}

void TorController::tearDown()
{
    m_portPoll.stop();
    m_bootstrapDeadline.stop();
    m_exitGrace.stop();
    m_identityDeadline.stop();
    m_identityPending = false;
    m_socksPort = 0;
    if (m_control) {
        m_control->close();
        m_control->deleteLater();
        m_control = nullptr;
    }
}

void TorController::stop()
{
    m_startWhenEnded = false;
    if (m_state == State::Stopped)
        return;
    tearDown();
    m_state = State::Stopped;
    if (m_process && m_process->isRunning()) {
        m_stopping = true;
        m_process->terminate();
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_state == State::Stopped)
                emit stopped();
        },
        Qt::QueuedConnection);
}

void TorController::notConnected(std::function<void()> report)
{
    QMetaObject::invokeMethod(this, std::move(report), Qt::QueuedConnection);
}

void TorController::setExitCountry(const QString& country, std::function<void(QString)> done)
{
    if (!done)
        done = [](const QString&) {};
    if (!connected())
        return notConnected([done] { done(QStringLiteral("Tor is not running")); });
    torqueries::setExitCountry(*m_control, country, std::move(done));
}

void TorController::exitCountries(std::function<void(QStringList, QString)> done)
{
    if (!connected())
        return notConnected([done] { done({}, QStringLiteral("Tor is not running")); });
    torqueries::exitCountries(*m_control, std::move(done));
}

void TorController::countryOf(const QString& address, std::function<void(QString, QString)> done)
{
    if (!connected())
        return notConnected([done] { done({}, QStringLiteral("Tor is not running")); });
    torqueries::countryOf(*m_control, address, std::move(done));
}

bool TorController::newIdentity()
{
    if (!connected())
        return false;
    if (m_identityPending)
        return true;
    m_identityPending = true;
    m_identityDeadline.start();
    m_control->send("SIGNAL NEWNYM", [this](const TorControlReply& reply) {
        if (!reply.isOk()) {
            m_identityPending = false;
            m_identityDeadline.stop();
        }
    });
    return true;
}
