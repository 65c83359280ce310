#include "support/PrivateHome.h"

#include "support/TempDir.h"

#include <QDir>
#include <QFile>

namespace testsupport {

PrivateHome::PrivateHome(const QString& root) : m_root(QDir::cleanPath(root)) {}

PrivateHome::~PrivateHome()
{
    while (!m_env.empty())
        m_env.pop_back();
}

void PrivateHome::create() const
{
    for (const QString& folder : {home(), config(), common(), runtime()})
        QDir().mkpath(folder);
    QFile::setPermissions(runtime(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

QProcessEnvironment PrivateHome::programEnvironment(QProcessEnvironment base) const
{
    base.insert(QStringLiteral("HOME"), home());
    base.insert(QStringLiteral("XDG_CONFIG_HOME"), config());
    base.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime());
    base.insert(QStringLiteral("VEILPORT_COMMON_DATA_DIR"), common());
    base.insert(QStringLiteral("GSETTINGS_BACKEND"), QStringLiteral("keyfile"));
    base.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    base.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
    for (const char* name :
         {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
        base.remove(QString::fromLatin1(name));
    return base;
}

void PrivateHome::enter()
{
    setVariable("HOME", QFile::encodeName(home()));
    setVariable("XDG_CONFIG_HOME", QFile::encodeName(config()));
    setVariable("VEILPORT_COMMON_DATA_DIR", QFile::encodeName(common()));
    setVariable("GSETTINGS_BACKEND", "keyfile");
}

void PrivateHome::setVariable(const char* name, const QByteArray& value)
{
    m_env.push_back(std::make_unique<ScopedEnv>(name, value));
}

} // namespace testsupport
