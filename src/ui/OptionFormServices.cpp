#include "browsers/DesktopBrowsers.h"
#include "ui/TfrmEngineWnd.h"
#include "ui/TfrmOptionForm.h"

TOptionFormServices DefaultOptionFormServices(TfrmEngineWnd& engine)
{
    TOptionFormServices services;
    services.SetAutoRun = [&engine](bool enable) { engine.SetAutoRun(enable); };
    // Posted, not called: the restart runs from the main loop once the dialog's own loop has ended.
    services.PostAllUsersRestart = [&engine](bool allUsers) { engine.PostAllUsersRestart(allUsers); };
    services.Routines = &engine.Browsers().routines();
    return services;
}
