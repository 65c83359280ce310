#include "i18n/TLanguageEngine.h"

#include "i18n/BuiltinLanguage.h"
#include "i18n/TspAceMultiLang.h"
#include "i18n/TspAceMultiLangConfig.h"
#include "i18n/TspAceMultiLangData.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

TLanguageEngine::TLanguageEngine(QObject* engineWindow, const QString& programFolder, SettingWriter writeSetting)
    : QObject(nullptr), m_programFolder(programFolder), m_writeSetting(std::move(writeSetting)),
      m_current(new TspAceMultiLangData(this)), m_default(new TspAceMultiLangData(this)),
      m_config(new TspAceMultiLangConfig(this)), m_translator(nullptr)
{
    if (!m_programFolder.isEmpty() && !m_programFolder.endsWith(QLatin1Char('/')))
        m_programFolder += QLatin1Char('/');
    m_current->setObjectName(QStringLiteral("smdCurrent"));
    m_default->setObjectName(QStringLiteral("smdDefault"));
    m_config->setObjectName(QStringLiteral("spcConfig"));
    m_current->SetData(BuiltinLanguageData());

    // Without a window of its own the engine translates itself, which only raises the event.
    m_translator = new TspAceMultiLang(engineWindow ? engineWindow : this);
    m_translator->SetData(m_current);
    m_translator->SetDefaultData(m_default);
    m_translator->SetConfig(m_config);
}

TLanguageEngine::~TLanguageEngine()
{
    // The engine window's translator belongs to that window; it must not keep reaching our data.
    if (m_translator)
        m_translator->SetData(nullptr);
}

TspAceMultiLang* TLanguageEngine::CreateTranslator(QObject* window, const std::function<void()>& onChangeLanguage) const
{
    auto* translator = new TspAceMultiLang(window);
    translator->SetData(m_current);
    translator->SetDefaultData(m_default);
    translator->SetConfig(m_config);
    if (onChangeLanguage)
        QObject::connect(translator, &TspAceMultiLang::OnChangeLanguage, window, onChangeLanguage);
    translator->Loaded();
    return translator;
}

QString TLanguageEngine::LanguageFile(const QString& name) const
{
    return m_programFolder + QStringLiteral("langs/") + name + QStringLiteral(".lan");
}

void TLanguageEngine::SetLanguage(const QString& name)
{
    m_currentLanguage = name;
    const QString file = LanguageFile(name);
    if (QFileInfo(file).isFile())
        m_current->LoadLanguageFile(file);
    if (m_writeSetting)
        m_writeSetting(QStringLiteral("Language"), name);
}

int TLanguageEngine::GetLanguageList(QStringList& names, QStringList& displayNames) const
{
    names.clear();
    displayNames.clear();
    const QDir dir(m_programFolder + QStringLiteral("langs"));
    QStringList files = dir.entryList({QStringLiteral("*.lan")}, QDir::Files | QDir::Readable, QDir::NoSort);
    std::sort(files.begin(), files.end(),
              [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    for (const QString& file : files)
        names.append(QFileInfo(file).completeBaseName());

    for (const QString& name : names) {
        TspAceMultiLangData data;
        data.LoadLanguageFile(LanguageFile(name));
        QString mark;
        data.FindText(QStringLiteral("info"), QString(), QStringLiteral("testver"), mark);
        displayNames.append(mark.isEmpty() ? name : name + QStringLiteral(" (") + mark + QLatin1Char(')'));
    }
    return names.size();
}

QString TLanguageEngine::LangText(const QString& key) const
{
    return m_translator ? m_translator->GetResString(key) : key;
}

void TLanguageEngine::LangStrings(const QString& section, QStringList& list) const
{
    if (m_translator)
        m_translator->FillStrings(section, list);
}
