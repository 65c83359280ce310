#pragma once

#include <QByteArray>
#include <QObject>
#include <QSize>
#include <QSocketNotifier>
#include <QString>

#include <memory>

class InfoPageView;
class QWindow;

// The info-page helper's side of the exchange: it reads the program's lines on standard input, shows the page
// inside the program's window and reports the page's cookies on standard output. The helper ends when its input
// ends, which is how the program lets it go.
class InfoPageHelper : public QObject
{
    Q_OBJECT

public:
    explicit InfoPageHelper(QObject* parent = nullptr);
    ~InfoPageHelper() override;

private:
    void readInput();
    void handle(const QByteArray& line);
    void embed(const QByteArray& window);
    void resize(const QByteArray& size);
    void send(const QByteArray& line);
    void end();

    QSocketNotifier m_input;
    QByteArray m_pending;
    // The program's window outlives the view inside it.
    std::unique_ptr<QWindow> m_parentWindow;
    std::unique_ptr<InfoPageView> m_view;
    QString m_url;
    QSize m_size;
};
