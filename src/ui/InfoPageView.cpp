#include "ui/InfoPageView.h"

#include <QContextMenuEvent>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>

InfoPageView::InfoPageView(QWidget* parent) : QWebEngineView(parent)
{
    setContextMenuPolicy(Qt::NoContextMenu);
    setAcceptDrops(false);
    QWebEngineSettings* settings = page()->settings();
    settings->setAttribute(QWebEngineSettings::ShowScrollBars, false);
    settings->setAttribute(QWebEngineSettings::PlaybackRequiresUserGesture, false);
    settings->setAttribute(QWebEngineSettings::FocusOnNavigationEnabled, false);
    // A page's WebRTC gathers its candidates over UDP beside any proxy; here it never names a local address.
    // Nothing the view shows needs more, so this holds whether the program hides or not.
    settings->setAttribute(QWebEngineSettings::WebRTCPublicInterfacesOnly, true);

    // Text selection and dragging are switched off inside every page the view shows.
    QWebEngineScript noSelection;
    noSelection.setName(QStringLiteral("veilport-no-selection"));
    noSelection.setInjectionPoint(QWebEngineScript::DocumentReady);
    noSelection.setWorldId(QWebEngineScript::ApplicationWorld);
    noSelection.setSourceCode(
        QStringLiteral("(function(){var s=document.createElement('style');"
                       "s.textContent='*{-webkit-user-select:none!important;user-select:none!important;"
                       "-webkit-user-drag:none!important}html,body{overflow:hidden!important}';"
                       "(document.head||document.documentElement).appendChild(s);"
                       "document.addEventListener('dragstart',function(e){e.preventDefault();},true);"
                       "document.addEventListener('drop',function(e){e.preventDefault();},true);})();"));
    page()->scripts().insert(noSelection);
}

void InfoPageView::OpenUrl(const QString& url)
{
    const QUrl address(url);
    if (url.isEmpty() || !address.isValid())
        return;
    load(address);
}

void InfoPageView::contextMenuEvent(QContextMenuEvent* event)
{
    event->accept();
}
