#include "ui/TfrmEngineWnd.h"

#include "ui/ApplicationServices.h"
#include "ui/Engine.h"
#include "ui/HidingPresenter.h"
#include "ui/IMainView.h"
#include "ui/TLocalisation.h"
#include "ui/UpdateController.h"

#include <QMetaObject>

TfrmEngineWnd::TfrmEngineWnd(Engine& engine) : m_engine(engine)
{
    setObjectName(QStringLiteral("frmEngineWnd"));
}

TfrmEngineWnd::~TfrmEngineWnd() = default;

TSettings& TfrmEngineWnd::Settings() const
{
    return m_engine.Settings();
}

ApplicationServices& TfrmEngineWnd::Services() const
{
    return m_engine.Services();
}

UpdateController& TfrmEngineWnd::Update() const
{
    return m_engine.Update();
}

const SettingsWriteGuard& TfrmEngineWnd::WriteGuard() const
{
    return Services().WriteGuard();
}

TProxyManager* TfrmEngineWnd::ProxyManager() const
{
    return m_engine.ProxyManager();
}

DesktopBrowsers& TfrmEngineWnd::Browsers() const
{
    return m_engine.Browsers();
}

QString TfrmEngineWnd::LangText(const QString& key) const
{
    return Services().LangText(key);
}

void TfrmEngineWnd::SetLanguage(const QString& name)
{
    Services().SetLanguage(name);
}

void TfrmEngineWnd::SetSkin(const QString& name)
{
    if (TLocalisation* localisation = m_engine.Localisation())
        localisation->SetSkin(name);
}

int TfrmEngineWnd::ShowMessageBox(const QString& key, const QStringList& args, int showAgainId, int msgType,
                                  int buttons, int fixedResult)
{
    return Services().ShowMessageBox(key, args, showAgainId, msgType, buttons, fixedResult);
}

void TfrmEngineWnd::OpenUrl(const QString& url)
{
    Services().OpenUrl(url);
}

bool TfrmEngineWnd::SetAutoRun(bool enable)
{
    return Services().SetAutoRun(enable);
}

void TfrmEngineWnd::RestartWithUserMode(int wParam)
{
    if (!Services().RestartWithUserMode(wParam != 0))
        return;
    if (IMainView* view = MainView())
        view->CloseForGood();
}

void TfrmEngineWnd::PostAllUsersRestart(bool allUsers)
{
    const int wParam = allUsers ? 1 : 0;
    QMetaObject::invokeMethod(
        this, [this, wParam] { RestartWithUserMode(wParam); }, Qt::QueuedConnection);
}

void TfrmEngineWnd::SetMainWindow(QWidget* window)
{
    Services().SetMainWindow(window);
}

void TfrmEngineWnd::SetMainView(IMainView* view)
{
    if (HidingPresenter* hiding = m_engine.Hiding())
        hiding->SetMainView(view);
}

IMainView* TfrmEngineWnd::MainView() const
{
    const HidingPresenter* hiding = m_engine.Hiding();
    return hiding ? hiding->MainView() : nullptr;
}

void TfrmEngineWnd::ApplyProxyTestOptions()
{
    if (HidingPresenter* hiding = m_engine.Hiding())
        hiding->ApplyProxyTestOptions();
}

bool TfrmEngineWnd::OfferHidingWithoutList()
{
    HidingPresenter* hiding = m_engine.Hiding();
    return hiding && hiding->OfferHidingWithoutList();
}

QString TfrmEngineWnd::BuildQueryString() const
{
    return Update().BuildQueryString();
}

void TfrmEngineWnd::OpenSitePage(const QString& key, int position)
{
    Update().OpenSitePage(key, position);
}

void TfrmEngineWnd::CheckForUpdate(bool manual)
{
    Update().CheckForUpdate(manual);
}

void TfrmEngineWnd::AutoCheckForUpdate()
{
    Update().AutoCheckForUpdate();
}
