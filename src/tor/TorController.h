#pragma once

#include "tor/TorOptions.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

class TorControlConnection;
class TorControlReply;
class TorProcess;

// Veilport's own tor, for the hiding workflow: starts it, follows its bootstrap, hands out its SOCKS port
// once it is connected to the Tor network, and steers it over the control port. Lives on the thread that
// owns it (the user-interface thread) and never blocks it. Signals and completions always come from the
// event loop, never from inside a call to this object, so a handler may call stop() or delete it.
//
//     start() → bootstrapProgress()… → controlReady() → bootstrapProgress()… → ready(host, port)
//     anything going wrong, at any time → failed(message), with tor ended
//     stop() → stopped() once tor has ended
class TorController : public QObject
{
    Q_OBJECT

public:
    enum class State
    {
        Stopped,
        Starting,      // tor is starting; its control port is not open yet
        Bootstrapping, // commands work; tor is still connecting to the Tor network
        Ready,         // the SOCKS port carries traffic
        Failed
    };

    explicit TorController(TorOptions options, QObject* parent = nullptr);
    // Kills a tor still running.
    ~TorController() override;

    // Starts tor; does nothing while it runs. When the previous tor is still ending, this one starts
    // after it.
    void start();
    // Ends tor (it gets a moment to close cleanly); stopped() follows once it has ended.
    void stop();

    State state() const { return m_state; }
    // The process id of the running tor, or 0.
    qint64 processId() const;
    // The SOCKS port once ready, else 0 (the host is always 127.0.0.1).
    quint16 socksPort() const { return m_socksPort; }
    const TorOptions& options() const { return m_options; }

    // Restricts the exits to one country (two letters), or lifts the restriction (empty). Works from
    // controlReady() on; done (optional) gets an empty error on success.
    void setExitCountry(const QString& country, std::function<void(QString error)> done = {});
    // The countries in which tor knows exit relays, sorted; empty while it has no consensus.
    void exitCountries(std::function<void(QStringList countries, QString error)> done);
    // The country (two letters) of an address, such as the one sites see; empty when unknown.
    void countryOf(const QString& address, std::function<void(QString country, QString error)> done);
    // Asks tor for a new identity (new circuits for new connections). tor allows one every 10 seconds and
    // delays a request that comes sooner: identityDelayed() tells by how much, identityChanged() follows
    // when the change is done. A request while one is under way joins it. False when tor is not
    // connected.
    bool newIdentity();

signals:
    void bootstrapProgress(int percent, const QString& summary);
    void controlReady();
    void ready(const QString& socksHost, quint16 socksPort);
    void identityChanged();
    void identityDelayed(int seconds);
    void failed(const QString& message);
    void stopped();

private:
    void launch();
    void pollControlPort();
    void onAuthenticated();
    void onEvent(const TorControlReply& event);
    void onBootstrapPhase(const QByteArray& phase);
    void onTorExited(const QString& how);
    void onConnectionFailed(const QString& message);
    void requestSocksPort();
    // Ends tor at once and reports message (once, from the event loop).
    void fail(const QString& message);
    void tearDown();
    bool active() const
    {
        return m_state == State::Starting || m_state == State::Bootstrapping || m_state == State::Ready;
    }
    bool connected() const { return (m_state == State::Bootstrapping || m_state == State::Ready) && m_control; }
    void notConnected(std::function<void()> report);

    TorOptions m_options;
    State m_state = State::Stopped;
    TorProcess* m_process = nullptr;           // a child; exists while tor runs or ends
    TorControlConnection* m_control = nullptr; // a child; exists from the control port's opening
    QTimer m_portPoll;
    QTimer m_bootstrapDeadline;
    QTimer m_exitGrace;
    QTimer m_identityDeadline;
    QString m_connectionFailure;
    int m_run = 0; // counts starts, so that a failure reported late never reaches a later run
    bool m_startWhenEnded = false;
    bool m_stopping = false;
    bool m_identityPending = false;
    int m_progress = -1;
    QString m_summary;
    QString m_bootstrapWarning;
    quint16 m_socksPort = 0;
};
