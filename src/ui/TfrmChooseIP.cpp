#include "ui/TfrmChooseIP.h"

#include "config/TSettings.h"
#include "i18n/MessageTexts.h"
#include "net/THTTPGet.h"
#include "proxy/TProxyManager.h"
#include "ui/FlagCache.h"
#include "ui/InfoPagePane.h"
#include "ui/SettingsWriteGuard.h"
#include "ui/TLocalisation.h"
#include "util/EngineServices.h"

#include <QComboBox>
#include <QFont>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>

namespace {

// Bottom of the list first: each one found is moved just below "Auto Selected", so the last one moved ends up highest.
const char* const kPriorityCountries[] = {"Japan", "German", "France", "Great Britain", "Canada", "United States"};

const QString kNewCountryMessage = QString::fromUtf8(MessageText::kNewCountry);
constexpr int kNewCountryShowAgainId = 41;

} // namespace

TfrmChooseIP::TfrmChooseIP(TProxyManager& manager, const QString& settingsFolder, const QString& serviceHost,
                           const QString& siteHost, QWidget* parent)
    : QDialog(parent), m_manager(manager), m_settingsFolder(settingsFolder), m_serviceHost(serviceHost),
      m_siteHost(siteHost)
{
    FormCreate();
}

TfrmChooseIP::~TfrmChooseIP() = default;

void TfrmChooseIP::FormCreate()
{
    // Language files address the window's own texts under this name (frmChooseIP.Caption).
    setObjectName(QStringLiteral("frmChooseIP"));
    setWindowTitle(QStringLiteral("Choose IP Country"));
    setFixedSize(458, 465);

    imgFlag = new QLabel(this);
    imgFlag->setObjectName(QStringLiteral("imgFlag"));
    imgFlag->setGeometry(16, 8, 46, 36);

    lblCountry = new QLabel(QStringLiteral("Country"), this);
    lblCountry->setObjectName(QStringLiteral("lblCountry"));
    lblCountry->move(80, 16);
    lblCountry->adjustSize();

    cbbCountry = new QComboBox(this);
    cbbCountry->setObjectName(QStringLiteral("cbbCountry"));
    cbbCountry->setGeometry(120, 12, 241, 20);
    cbbCountry->setEditable(false);
    cbbCountry->setMaxVisibleItems(8);
    connect(cbbCountry, &QComboBox::currentIndexChanged, this, [this] { cbbCountryChange(); });

    pnl1 = new QFrame(this);
    pnl1->setObjectName(QStringLiteral("pnl1"));
    pnl1->setGeometry(16, 56, 425, 350);
    pnl1->setFrameStyle(QFrame::Box | QFrame::Plain);
    pnl1->setLineWidth(1);

    // Shown as the main window's info page is: in the info-page helper where it can be, so that the web engine
    // ends with the dialog.
    wbMap = new InfoPagePane(pnl1);
    wbMap->setObjectName(QStringLiteral("wbMap"));
    wbMap->setGeometry(1, 1, 423, 348);
    connect(wbMap, &InfoPagePane::loadProgress, this, [this](int percent) { wbMapProgressChange(percent, 100); });
    connect(wbMap, &InfoPagePane::loadFinished, this, [this] { wbMapProgressChange(100, 100); });

    sgLoadingMap = new QProgressBar(this);
    sgLoadingMap->setObjectName(QStringLiteral("sgLoadingMap"));
    sgLoadingMap->setGeometry(16, 424, 100, 20);
    sgLoadingMap->setRange(0, 100);
    sgLoadingMap->setTextVisible(false);
    sgLoadingMap->hide();

    btnOK = new QPushButton(QStringLiteral("&OK"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setGeometry(272, 424, 75, 25);
    btnOK->setDefault(true);
    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);

    btnCancel = new QPushButton(QStringLiteral("&Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setGeometry(352, 424, 75, 25);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    m_hgFlag = std::make_unique<THTTPGet>();
    hgFlag = m_hgFlag.get();
    hgFlag->SetBinaryData(true);
    hgFlag->SetUseCache(false);
    hgFlag->SetWaitThread(false);
    connect(hgFlag, &THTTPGet::OnDoneFile, this,
            [this](THTTPGet*, const QString& fileName, qint64) { hgFlagDoneFile(fileName); });
    connect(hgFlag, &THTTPGet::OnError, this, [](THTTPGet* sender) { QFile::remove(sender->FileName()); });

    // Every control exists with its name: the dialog opens in the current language.
    AttachWindowTranslator(this);
    Ready = false;
    FillCountries();
}

void TfrmChooseIP::FillCountries()
{
    QStringList names{kAutoSelected};
    for (const QString& country : m_manager.Countries()) {
        int working = 0;
        int others = 0;
        if (m_manager.CountProxies(country, working, others))
            names << country;
    }
    // Hiding through Tor: tor may leave from countries the list has no proxy in.
    const QStringList& exits = m_manager.ExitRouteOn() ? m_manager.ExitCountries() : QStringList();
    for (const QString& country : exits) {
        if (!names.contains(country))
            names << country;
    }
    for (const char* priority : kPriorityCountries) {
        for (int i = 1; i < names.size(); ++i) {
            if (names[i].compare(QLatin1String(priority), Qt::CaseInsensitive) == 0) {
                names.move(i, 1);
                break;
            }
        }
    }
    const QSignalBlocker block(cbbCountry);
    cbbCountry->clear();
    cbbCountry->addItems(names);
    // Countries in which tor knows exit relays stand out; choosing another one ends in "not available".
    QFont exitFont = cbbCountry->font();
    exitFont.setBold(true);
    for (int i = 1; i < names.size(); ++i) {
        if (exits.contains(names.at(i)))
            cbbCountry->setItemData(i, exitFont, Qt::FontRole);
    }
    cbbCountry->setCurrentIndex(-1);
}

QString TfrmChooseIP::SelectedCountry() const
{
    return cbbCountry->currentIndex() < 0 ? kAutoSelected : cbbCountry->currentText();
}

void TfrmChooseIP::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!Ready)
        FormShow();
}

void TfrmChooseIP::FormShow()
{
    // A stored country that the current list no longer holds is shown as "Auto Selected", so the map, the
    // flag and OK all have a real entry to work with; OK then stores "Auto Selected".
    int index = 0;
    if (m_manager.Country() != kAutoSelected) {
        const int found = cbbCountry->findText(m_manager.Country(), Qt::MatchFixedString);
        if (found > 0)
            index = found;
    }
    {
        const QSignalBlocker block(cbbCountry);
        cbbCountry->setCurrentIndex(index);
    }

    QString stem = QStringLiteral("un");
    QString flagUrl = UnknownFlagUrl();
    if (index > 0) {
        TProxyRec rec;
        if (m_manager.FindProxyByCountry(cbbCountry->itemText(index), rec)) {
            ShowMap(rec.Longitude, rec.Latitude, rec.Country);
            flagUrl = rec.FlagUrl;
        }
        // The stem follows the entry, as a later change of selection would, so both find the same file.
        stem = cbbCountry->itemText(index);
    } else {
        ShowMap(m_manager.LocalLongitude(), m_manager.LocalLatitude(), m_manager.LocalCountry());
    }
    ShowFlag(stem, flagUrl);
    Ready = true;
}

void TfrmChooseIP::cbbCountryChange()
{
    if (!Ready || cbbCountry->currentIndex() < 0)
        return;
    if (cbbCountry->currentIndex() == 0) {
        ShowMap(m_manager.LocalLongitude(), m_manager.LocalLatitude(), m_manager.LocalCountry());
        ShowFlag(QStringLiteral("un"), UnknownFlagUrl());
        return;
    }
    const QString name = cbbCountry->currentText();
    TProxyRec rec;
    // A country whose records vanished with a newer list keeps the map and flag as they are.
    if (!m_manager.FindProxyByCountry(name, rec))
        return;
    ShowMap(rec.Longitude, rec.Latitude, rec.Country);
    ShowFlag(name, rec.FlagUrl);
}

QString TfrmChooseIP::UnknownFlagUrl() const
{
    return QStringLiteral("http://") + m_serviceHost + QStringLiteral("/images/flag/un.png");
}

void TfrmChooseIP::ShowFlag(const QString& stem, const QString& url)
{
    const QString file = FlagCachePath(m_settingsFolder, stem, QStringLiteral(".png"));
    const QImage cached = CachedFlagImage(file);
    if (!cached.isNull()) {
        DrawFlag(cached);
        return;
    }
    // One fetch at a time: a request made while the previous flag is still coming is dropped.
    if (hgFlag->Busy() || url.isEmpty())
        return;
    hgFlag->SetFileName(FlagDownloadFile(file, QStringLiteral("hgFlag")));
    hgFlag->SetURL(url);
    hgFlag->GetFile();
}

void TfrmChooseIP::hgFlagDoneFile(const QString& fileName)
{
    // Only a flag reaches the cache; an error page or a cut-off reply is dropped and fetched again next time.
    DrawFlag(StoreFlagDownload(fileName, hgFlag->HttpStatus()));
}

bool TfrmChooseIP::DrawFlag(const QImage& flag)
{
    LargeFlagImage = flag;
    QPixmap canvas(imgFlag->size());
    canvas.fill(imgFlag->palette().color(imgFlag->backgroundRole()));
    if (!LargeFlagImage.isNull()) {
        QPainter p(&canvas);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        // The rectangle overhangs the box on every side but the right, so the flag fills it edge to edge.
        p.drawImage(QRect(-1, -6, 49, 42), LargeFlagImage);
    }
    imgFlag->setPixmap(canvas);
    return !LargeFlagImage.isNull();
}

void TfrmChooseIP::ShowMap(const QString& longitude, const QString& latitude, const QString& tag)
{
    m_mapUrl = QStringLiteral("http://") + m_siteHost + QStringLiteral("/map/map.php?tag=") + tag +
               QStringLiteral("&longitude=") + longitude + QStringLiteral("&latitude=") + latitude;
    wbMap->OpenUrl(m_mapUrl);
}

void TfrmChooseIP::wbMapProgressChange(int progress, int progressMax)
{
    sgLoadingMap->setVisible(progress != progressMax);
    sgLoadingMap->setMaximum(progressMax);
    sgLoadingMap->setValue(progress);
}

bool TfrmChooseIP::ApplyChoice(TProxyManager& manager, const QString& chosen, TEngineServices& services,
                               const SettingsWriteGuard& writeGuard)
{
    const bool changed = chosen != manager.Country();
    if (changed) {
        manager.ChooseCountry(chosen);
        // The proxy in use stays until the user hides again.
        if (manager.Active())
            services.ShowMessageBox(kNewCountryMessage, {}, kNewCountryShowAgainId, TEngineServices::mtInformation,
                                    TEngineServices::mbOK, 0);
    }
    // The choice holds for this run; a failure only keeps it from the next one.
    writeGuard(
        [&manager](TSettings& settings) { settings.WriteString(QStringLiteral("PROXYCOUNTRY"), manager.Country()); });
    return changed;
}
