#include "tor/TorRoute.h"

#include "tor/TorController.h"

TorRoute::TorRoute(TorOptions options, QObject* parent)
    : IExitRoute(parent), m_tor(std::make_unique<TorController>(std::move(options)))
{
    connect(m_tor.get(), &TorController::bootstrapProgress, this, &IExitRoute::progress);
    connect(m_tor.get(), &TorController::controlReady, this, &IExitRoute::controlReady);
    connect(m_tor.get(), &TorController::ready, this, &IExitRoute::ready);
    connect(m_tor.get(), &TorController::identityChanged, this, &IExitRoute::identityChanged);
    connect(m_tor.get(), &TorController::identityDelayed, this, &IExitRoute::identityDelayed);
    connect(m_tor.get(), &TorController::failed, this, &IExitRoute::failed);
}

TorRoute::~TorRoute() = default;

bool TorRoute::installed() const
{
    return !(m_tor->options().program.isEmpty() ? TorOptions::findProgram() : m_tor->options().program).isEmpty();
}

QString TorRoute::checkUrl() const
{
    return m_tor->options().checkUrl;
}

void TorRoute::start()
{
    m_tor->start();
}

void TorRoute::stop()
{
    m_tor->stop();
}

bool TorRoute::newIdentity()
{
    return m_tor->newIdentity();
}

void TorRoute::setExitCountry(const QString& code, std::function<void(QString error)> done)
{
    m_tor->setExitCountry(code, std::move(done));
}

void TorRoute::exitCountries(std::function<void(QStringList codes, QString error)> done)
{
    m_tor->exitCountries(std::move(done));
}

void TorRoute::countryOf(const QString& address, std::function<void(QString code, QString error)> done)
{
    m_tor->countryOf(address, std::move(done));
}
