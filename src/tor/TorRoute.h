#pragma once

#include "proxy/ExitRoute.h"
#include "tor/TorOptions.h"

#include <memory>

class TorController;

// Veilport's own tor as the proxy manager's exit route: a thin adapter over TorController.
class TorRoute : public IExitRoute
{
    Q_OBJECT

public:
    explicit TorRoute(TorOptions options, QObject* parent = nullptr);
    ~TorRoute() override;

    bool installed() const override;
    QString checkUrl() const override;
    void start() override;
    void stop() override;
    bool newIdentity() override;
    void setExitCountry(const QString& code, std::function<void(QString error)> done) override;
    void exitCountries(std::function<void(QStringList codes, QString error)> done) override;
    void countryOf(const QString& address, std::function<void(QString code, QString error)> done) override;

    TorController& controller() const { return *m_tor; }

private:
    std::unique_ptr<TorController> m_tor;
};
