#include "support/ScriptedExitRoute.h"

#include <QTimer>

namespace testsupport {

ScriptedExitRoute::ScriptedExitRoute(QString checkUrl, quint16 socksPort, QObject* parent)
    : IExitRoute(parent), m_checkUrl(std::move(checkUrl)), m_socksPort(socksPort)
{
}

void ScriptedExitRoute::start()
{
    ++starts;
    if (!isInstalled) {
        QTimer::singleShot(0, this, [this] { emit failed(QStringLiteral("Tor is not installed")); });
        return;
    }
    running = true;
    QTimer::singleShot(0, this, [this] {
        if (!running)
            return;
        emit progress(5, QStringLiteral("Connecting to a relay"));
        emit controlReady();
    });
}

void ScriptedExitRoute::stop()
{
    ++stops;
    running = false;
}

bool ScriptedExitRoute::newIdentity()
{
    if (!running)
        return false;
    const int request = ++identityRequests;
    QTimer::singleShot(0, this, [this, request] {
        if (!running)
            return;
        if (beforeIdentity)
            beforeIdentity(request);
        emit identityChanged();
    });
    return true;
}

void ScriptedExitRoute::setExitCountry(const QString& code, std::function<void(QString error)> done)
{
    exitCountryCalls << code;
    QTimer::singleShot(0, this, [done = std::move(done)] {
        if (done)
            done(QString());
    });
}

void ScriptedExitRoute::exitCountries(std::function<void(QStringList codes, QString error)> done)
{
    QTimer::singleShot(0, this, [this, done = std::move(done)] { done(exitCodes, QString()); });
}

void ScriptedExitRoute::countryOf(const QString&, std::function<void(QString code, QString error)> done)
{
    QTimer::singleShot(0, this, [this, done = std::move(done)] { done(countryCode, QString()); });
}

void ScriptedExitRoute::connectUpTo(int percent)
{
    emit progress(percent, QStringLiteral("Loading relay descriptors"));
}

void ScriptedExitRoute::finishBootstrap()
{
    emit progress(100, QStringLiteral("Done"));
    emit ready(QStringLiteral("127.0.0.1"), m_socksPort);
}

void ScriptedExitRoute::failWith(const QString& message)
{
    running = false;
    emit failed(message);
}

} // namespace testsupport
