#include "ui/InfoPageHelper.h"

#include "platform/ProcessProxy.h"
#include "ui/InfoPageMessages.h"
#include "ui/InfoPageView.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QUrl>
#include <QWebEngineCookieStore>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWindow>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {
Q_LOGGING_CATEGORY(lcHelper, "veilport.infopage")
} // namespace

InfoPageHelper::InfoPageHelper(QObject* parent) : QObject(parent), m_input(STDIN_FILENO, QSocketNotifier::Read)
{
    ::fcntl(STDIN_FILENO, F_SETFL, ::fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    connect(&m_input, &QSocketNotifier::activated, this, &InfoPageHelper::readInput);
}

InfoPageHelper::~InfoPageHelper() = default;

void InfoPageHelper::readInput()
{
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got == 0) {
            end();
            return;
        }
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                end();
            return;
        }
        m_pending.append(buffer, got);
        for (const QByteArray& line : infopage::takeLines(m_pending))
            handle(line);
        if (m_pending.size() > infopage::kMaxLine) {
            qCWarning(lcHelper) << "an overlong line from the program, ending";
            end();
            return;
        }
    }
}

void InfoPageHelper::handle(const QByteArray& line)
{
    const auto [word, argument] = infopage::split(line);
    if (word == infopage::kEmbed) {
        embed(argument);
    } else if (word == infopage::kSize) {
        resize(argument);
    } else if (word == infopage::kProxy) {
        if (!platform::setProcessProxy(QString::fromUtf8(argument)))
            qCWarning(lcHelper) << "an unusable proxy from the program";
    } else if (word == infopage::kOpen) {
        m_url = QUrl::fromEncoded(argument).toString();
        if (m_view)
            m_view->OpenUrl(m_url);
    } else if (!m_view) {
        // Nothing is stored before the page exists.
    } else if (word == infopage::kDeleteCookie) {
        if (const auto cookie = infopage::decodeCookie(argument))
            m_view->page()->profile()->cookieStore()->deleteCookie(*cookie);
    } else if (word == infopage::kClearVisited) {
        m_view->page()->profile()->clearAllVisitedLinks();
    } else if (word == infopage::kClearCache) {
        m_view->page()->profile()->clearHttpCache();
    }
}

void InfoPageHelper::embed(const QByteArray& window)
{
    bool ok = false;
    const WId id = window.toULongLong(&ok);
    if (!ok || id == 0 || m_view)
        return;
    m_parentWindow.reset(QWindow::fromWinId(id));
    if (!m_parentWindow) {
        qCWarning(lcHelper) << "cannot reach the program's window";
        end();
        return;
    }
    m_view = std::make_unique<InfoPageView>();
    m_view->setWindowFlags(Qt::FramelessWindowHint);
    QWebEngineCookieStore* store = m_view->page()->profile()->cookieStore();
    connect(store, &QWebEngineCookieStore::cookieAdded, this, [this](const QNetworkCookie& cookie) {
        send(infopage::line(infopage::kCookieAdded, infopage::encodeCookie(cookie)));
    });
    connect(store, &QWebEngineCookieStore::cookieRemoved, this, [this](const QNetworkCookie& cookie) {
        send(infopage::line(infopage::kCookieRemoved, infopage::encodeCookie(cookie)));
    });
    connect(m_view.get(), &QWebEngineView::loadStarted, this,
            [this] { send(infopage::line(infopage::kProgress, "0")); });
    connect(m_view.get(), &QWebEngineView::loadProgress, this,
            [this](int percent) { send(infopage::line(infopage::kProgress, QByteArray::number(percent))); });
    connect(m_view.get(), &QWebEngineView::loadFinished, this,
            [this](bool ok) { send(infopage::line(infopage::kLoaded, ok ? "1" : "0")); });
    // A window made as a child of the program's: it is never a window of its own on the desktop.
    m_view->winId();
    m_view->windowHandle()->setParent(m_parentWindow.get());
    m_view->setGeometry(0, 0, m_size.width(), m_size.height());
    m_view->show();
    if (!m_url.isEmpty())
        m_view->OpenUrl(m_url);
    send(infopage::line(infopage::kShown));
}

void InfoPageHelper::resize(const QByteArray& size)
{
    const QList<QByteArray> parts = size.split(' ');
    bool wide = false;
    bool high = false;
    const int width = parts.value(0).toInt(&wide);
    const int height = parts.value(1).toInt(&high);
    if (!wide || !high || width < 0 || height < 0 || width > 16384 || height > 16384)
        return;
    m_size = QSize(width, height);
    if (m_view)
        m_view->setGeometry(0, 0, width, height);
}

void InfoPageHelper::send(const QByteArray& line)
{
    // Blocking writes of short lines: the program reads them as they come.
    std::fwrite(line.constData(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void InfoPageHelper::end()
{
    m_input.setEnabled(false);
    // Not quit(): that closes the windows first and can be turned down, which left the helper running here.
    QCoreApplication::exit(0);
}
