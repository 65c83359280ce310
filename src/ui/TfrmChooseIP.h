#pragma once

#include <QDialog>
#include <QImage>
#include <QString>

#include <memory>

class QComboBox;
class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;
class InfoPagePane;
class SettingsWriteGuard;
class TEngineServices;
class THTTPGet;
class TProxyManager;

// The modal "Choose IP Country" dialog: the countries of the current proxy list (six well-known ones on
// top), the large flag and a map of the selected country. It only reads the proxy manager; the caller
// applies the choice with ApplyChoice when exec() returns Accepted. Language files address its
// components by objectName under the section "TfrmChooseIP".
//
//     TfrmChooseIP dlg(*manager, settings.UserFolder(), settings.GetConst("URL.ServiceHost"),
//                      settings.GetConst("URL.SiteHost"), this);
//     if (dlg.exec() == QDialog::Accepted) {
//         TfrmChooseIP::ApplyChoice(*manager, dlg.SelectedCountry(), services, writeGuard);
//         lblIPCountry->setText(manager->Country());
//         ShowCountryFlag();
//     }
class TfrmChooseIP : public QDialog
{
    Q_OBJECT

public:
    // settingsFolder caches the large flags; serviceHost serves flags and siteHost the map page (host:port).
    TfrmChooseIP(TProxyManager& manager, const QString& settingsFolder, const QString& serviceHost,
                 const QString& siteHost, QWidget* parent = nullptr);
    ~TfrmChooseIP() override;

    /// The text of the selected entry; "Auto Selected" when nothing is selected.
    QString SelectedCountry() const;
    /// The address of the map page last opened (empty before the first).
    QString MapUrl() const { return m_mapUrl; }

    /// Takes the country chosen with OK: a changed country is set on the manager (while a proxy is applied
    /// the user is told that it takes effect at the next hiding) and the country is stored as PROXYCOUNTRY.
    /// Returns whether the country changed. The caller redraws its country label and small flag.
    /// services shows the notice; writeGuard stores the country.
    static bool ApplyChoice(TProxyManager& manager, const QString& chosen, TEngineServices& services,
                            const SettingsWriteGuard& writeGuard);

    /// Lists "Auto Selected", then the list's countries that have records, the well-known ones moved up.
    void FillCountries();
    /// Opens the map page for a place with its label.
    void ShowMap(const QString& longitude, const QString& latitude, const QString& tag);
    /// Draws a flag into imgFlag; false (and an empty box) for a null image.
    bool DrawFlag(const QImage& flag);
    /// The selection changed (ignored until the dialog has been shown).
    void cbbCountryChange();
    /// The map page's loading progress: the gauge shows only while loading.
    void wbMapProgressChange(int progress, int progressMax);

    bool Ready = false;
    QImage LargeFlagImage;

    QLabel* imgFlag = nullptr;
    QLabel* lblCountry = nullptr;
    QComboBox* cbbCountry = nullptr;
    QFrame* pnl1 = nullptr;
    InfoPagePane* wbMap = nullptr;
    QProgressBar* sgLoadingMap = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;
    THTTPGet* hgFlag = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormCreate();
    void FormShow();
    void ShowFlag(const QString& stem, const QString& url);
    void hgFlagDoneFile(const QString& fileName);
    QString UnknownFlagUrl() const;

    TProxyManager& m_manager;
    QString m_settingsFolder;
    QString m_serviceHost;
    QString m_siteHost;
    QString m_mapUrl;
    std::unique_ptr<THTTPGet> m_hgFlag;
};
