#include "ui/TfrmEngineWnd.h"
#include "ui/TfrmOptionForm.h"

TOptionFormServices DefaultOptionFormServices()
{
    TOptionFormServices services;
    services.SetAutoRun = [](bool enable) {
        if (frmEngineWnd)
            frmEngineWnd->SetAutoRun(enable);
    };
    // Posted, not called: the restart runs from the main loop once the dialog's own loop has ended.
    services.PostAllUsersRestart = [](bool allUsers) {
        if (frmEngineWnd)
            frmEngineWnd->PostAllUsersRestart(allUsers);
    };
    return services;
}
