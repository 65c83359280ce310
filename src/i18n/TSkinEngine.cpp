#include "i18n/TSkinEngine.h"

#include "i18n/TLanguageEngine.h"
#include "i18n/TSkinFile.h"
#include "i18n/TspAceMultiLangData.h"
#include "i18n/TspResourceStrData.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>

static void initBuiltinSkinResource()
{
    // The resource lives in a static library, so it has to be pulled in by name.
    Q_INIT_RESOURCE(BuiltinSkin);
}

QByteArray TSkinEngine::BuiltinSkinData()
{
    initBuiltinSkinResource();
    QFile file(QStringLiteral(":/veilport/skins/") + BuiltinSkinName());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TSkinEngine::TSkinEngine(const QString& programFolder, SettingWriter writeSetting, QObject* parent)
    : QObject(parent), m_programFolder(programFolder), m_writeSetting(std::move(writeSetting)),
      m_resStrings(DefaultResStrings())
{
    setObjectName(QStringLiteral("spSkinData"));
    if (!m_programFolder.isEmpty() && !m_programFolder.endsWith(QLatin1Char('/')))
        m_programFolder += QLatin1Char('/');
    // Until the main window picks the stored skin, every window shows the built-in one.
    SetCompressedStoredSkin(true);
}

TSkinEngine::~TSkinEngine() = default;

QString TSkinEngine::SkinFile(const QString& name) const
{
    return m_programFolder + QStringLiteral("skins/") + name + QStringLiteral(".skn");
}

void TSkinEngine::SetSkin(const QString& name)
{
    const QString file = SkinFile(name);
    if (QFileInfo(file).isFile()) {
        SetCompressedStoredSkin(false);
        LoadCompressedSkinFile(file);
        m_currentSkin = name;
    } else {
        SetCompressedStoredSkin(true);
        m_currentSkin.clear();
    }
    if (m_writeSetting)
        m_writeSetting(QStringLiteral("Skin"), m_currentSkin);
}

int TSkinEngine::GetSkinList(QStringList& list) const
{
    list.clear();
    const QDir dir(m_programFolder + QStringLiteral("skins"));
    QStringList files = dir.entryList({QStringLiteral("*.skn")}, QDir::Files, QDir::NoSort);
    std::sort(files.begin(), files.end(),
              [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    for (const QString& file : files) {
        const QString title = QFileInfo(file).completeBaseName();
        if (title.compare(QLatin1String("Default"), Qt::CaseInsensitive) != 0)
            list.append(title);
    }
    return list.size();
}

void TSkinEngine::SetCompressedStoredSkin(bool builtin)
{
    if (builtin)
        apply(BuiltinSkinData());
}

bool TSkinEngine::LoadCompressedSkinFile(const QString& fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // A skin is a few hundred kilobytes at most; anything far larger is not a skin.
    if (file.size() > TSkinFile::MaxUnpackedSize)
        return false;
    return apply(file.readAll());
}

bool TSkinEngine::apply(const QByteArray& bytes)
{
    TSkinFile skin;
    if (!TSkinFile::Decode(bytes, skin))
        return false; // no skin data: the windows stay as they are
    applyDecoded(skin);
    return true;
}

void TSkinEngine::applyDecoded(const TSkinFile& skin)
{
    QString style = skin.styleSheet;
    std::unique_ptr<QTemporaryDir> imageDir;
    if (!skin.images.isEmpty()) {
        // Style sheets can only name images by file, so the skin's images are unpacked into a
        // private folder that lives as long as the skin is shown.
        imageDir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/veilport-skin-XXXXXX"));
        if (imageDir->isValid()) {
            for (const auto& image : skin.images) {
                QFile out(imageDir->filePath(image.first));
                if (out.open(QIODevice::WriteOnly))
                    out.write(image.second);
                style.replace(QStringLiteral("url(skin:") + image.first + QLatin1Char(')'),
                              QStringLiteral("url(") + imageDir->filePath(image.first) + QLatin1Char(')'));
            }
        }
    }
    m_styleSheet = style;
    emit SkinApplied(m_styleSheet);
    m_imageDir = std::move(imageDir); // the old images go only after the new style is in place
}

QString TSkinEngine::ResourceString(const QString& name) const
{
    const QString value = ListValue(m_resStrings, name);
    return value.isEmpty() ? ListValue(DefaultResStrings(), name) : value;
}

void TSkinEngine::ResourceStrDataChanged()
{
    emit ResourceStringsChanged();
}

void TSkinEngine::TakeLanguageTexts(const TLanguageEngine& language)
{
    language.LangStrings(QStringLiteral("skinres"), m_resStrings);
    ResourceStrDataChanged();
}
