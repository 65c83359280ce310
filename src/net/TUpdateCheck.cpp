#include "net/TUpdateCheck.h"

#include "config/TSettings.h"
#include "net/ServiceRequests.h"
#include "net/TIEDownload.h"
#include "net/UpdateAnswer.h"
#include "util/EngineServices.h"
#include "util/SPTools.h"

#include "config/SettingsError.h"

#include <QLoggingCategory>

namespace {

Q_LOGGING_CATEGORY(lcUpdate, "veilport.update")

// A settings file that cannot be saved must not end the answer's handling half-way: the
// change is lost for the next run, nothing else, and the trace says so.
template <typename Write> void writeSetting(Write write)
{
    try {
        write();
    } catch (const ESettingsError& error) {
        qCWarning(lcUpdate) << "the update check could not save the settings:" << error.what();
    }
}

} // namespace

TUpdateCheck::TUpdateCheck(TIEDownload& channel, TSettings& settings, TEngineServices& services, QObject* parent)
    : QObject(parent), m_channel(channel), m_settings(settings), m_services(services),
      m_clock([] { return QDateTime::currentDateTime(); })
{
    connect(&m_channel, &TIEDownload::OnDownloadComplete, this, &TUpdateCheck::iedNetConnectionComplete);
}

int TUpdateCheck::Today() const
{
    return DayNumber(m_clock());
}

void TUpdateCheck::CheckForUpdate(bool manual, const QString& url)
{
    if (manual)
        m_updateManual = true;
    // The request in flight answers for this one too, now as one the user asked for.
    if (m_updateBusy)
        return;
    m_updateBusy = true;
    m_channel.StartRequest(url);
}

void TUpdateCheck::AutoCheckForUpdate(const QString& url)
{
    // Sent even when AutoCheckUpdate is off: that setting only silences the answer.
    if (AutoCheckDue(m_settings.ReadInteger(QStringLiteral("LastUpdateDate"), 0), Today()))
        CheckForUpdate(false, url);
}

void TUpdateCheck::iedNetConnectionComplete(TIEDownload*, const QByteArray& stream, int result)
{
    // Any answer, even a failed one, counts as today's check.
    writeSetting([&] { m_settings.WriteInteger(QStringLiteral("LastUpdateDate"), Today()); });
    if (!m_updateBusy)
        return;

    bool failed = false;
    [&] {
        const bool transferred = result == 0 && !stream.isEmpty();
        // An automatic check goes on with whatever arrived; the magic word decides.
        if (!transferred && m_updateManual) {
            failed = true;
            return;
        }
        const UpdateAnswer answer = UpdateAnswer::Parse(stream);
        // Anything without the word (a proxy's or a portal's page) is not the service speaking.
        if (answer.Value(QStringLiteral("magicword"))
                .compare(m_settings.GetConst(QStringLiteral("App.MagicWord")), Qt::CaseInsensitive) != 0) {
            failed = true;
            return;
        }
        if (!m_updateManual && !m_settings.ReadBool(QStringLiteral("AutoCheckUpdate"), true))
            return;
        if (!m_updateManual && m_settings.GetConstBool(QStringLiteral("Update.NoAutoCheck"), false))
            return;
        const int r = SafeStrToInt(answer.Value(QStringLiteral("Result")), 0);
        if (r == 0) {
            if (m_updateManual)
                m_services.ShowMessageBox(QStringLiteral("MSGBOX_LastVersionAlready"), {}, 0,
                                          TEngineServices::mtInformation, TEngineServices::mbOK, 0);
        } else if (r == 1) {
            const QString page = answer.Value(QStringLiteral("page"));
            // Offering a download the program cannot open would only end in nothing; a user who asked
            // learns that the check failed.
            if (!UpdateAnswer::IsWebAddress(page)) {
                qCWarning(lcUpdate).noquote()
                    << "update answer ignored: its page is no http or https address:" << page.left(200);
                failed = true;
                return;
            }
            const int choice =
                m_services.ShowMessageBox(answer.Value(QStringLiteral("info")), {}, 0, TEngineServices::mtConfirmation,
                                          TEngineServices::mbOKCancel, 0);
            if (choice == TEngineServices::mrOk) {
                if (m_openUrl)
                    m_openUrl(page);
            } else if (!m_updateManual) {
                if (m_services.ShowMessageBox(QStringLiteral("MSGBOX_AutoCheckUpdate"), {}, 0,
                                              TEngineServices::mtConfirmation, TEngineServices::mbYesNo,
                                              0) == TEngineServices::mrNo)
                    writeSetting([&] { m_settings.WriteBool(QStringLiteral("AutoCheckUpdate"), false); });
            }
        }
    }();
    m_updateBusy = false;
    if (failed && m_updateManual)
        m_services.ShowErrorMessage(1011, QString());
}
