#pragma once

#include <QString>
#include <QStringList>

// The application services that code below the user interface needs: localised texts and the
// program's message box. Windows and the proxy pool receive them from their creator; the program's
// start also installs them for code that has no creator to ask. Until then (and in tests that install
// nothing) a quiet default answers: texts come back unchanged and no message is shown.
class TEngineServices
{
public:
    // Message types of ShowMessageBox.
    enum MsgType
    {
        mtWarning = 0,
        mtError = 1,
        mtInformation = 2,
        mtConfirmation = 3,
        mtCustom = 4
    };
    // Button sets: bit n of the set stands for one button.
    enum Buttons
    {
        mbYesNo = 3,
        mbOK = 4,
        mbOKCancel = 12
    };
    // Results of ShowMessageBox.
    enum Result
    {
        mrNone = 0,
        mrOk = 1,
        mrCancel = 2,
        mrAbort = 3,
        mrRetry = 4,
        mrIgnore = 5,
        mrYes = 6,
        mrNo = 7,
        mrAll = 8,
        mrNoToAll = 9,
        mrYesToAll = 10
    };

    virtual ~TEngineServices() = default;

    // The text of a language key, or the key itself when no language defines it.
    virtual QString LangText(const QString& key) const;
    // Every Name=Value pair of a language section, default language first, current language over it.
    virtual void LangStrings(const QString& section, QStringList& list) const;
    // Shows the program's message box and returns the button result (0 when nothing was shown).
    virtual int ShowMessageBox(const QString& key, const QStringList& args, int showAgainId, int msgType, int buttons,
                               int fixedResult);
    // Shows an error message for a numbered error (language key ERRORMSG_<code>).
    virtual void ShowErrorMessage(int code, const QString& extra);
};

// The installed services; never null.
TEngineServices& EngineServices();
// Installs the services (nullptr restores the quiet default). The caller keeps ownership.
void SetEngineServices(TEngineServices* services);
