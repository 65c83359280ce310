#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>

#include <memory>
#include <vector>

namespace testsupport {

class ScopedEnv;

// A desktop home of its own below a folder, so that a test or benchmark, and every program it starts, never
// reads or writes the user's: home/ ($HOME), config/ ($XDG_CONFIG_HOME: settings, browser profiles, KDE's
// kioslaverc and the desktop's proxy settings, kept by GSettings in a keyfile), common/ (the all-users folder)
// and runtime/ ($XDG_RUNTIME_DIR of the programs started in it). The folder itself, and its removal, stay with
// the caller; variables set on this process are restored when the object ends.
class PrivateHome
{
public:
    explicit PrivateHome(const QString& root);
    ~PrivateHome();
    PrivateHome(const PrivateHome&) = delete;
    PrivateHome& operator=(const PrivateHome&) = delete;

    QString home() const { return m_root + QStringLiteral("/home"); }
    QString config() const { return m_root + QStringLiteral("/config"); }
    QString common() const { return m_root + QStringLiteral("/common"); }
    QString runtime() const { return m_root + QStringLiteral("/runtime"); }

    // Creates the four folders; runtime/ is open to its owner only, as a session's is.
    void create() const;

    // The environment of a program started in the home: base with the home's folders and GSettings' keyfile
    // backend, headless windows, and no proxy inherited from the caller.
    QProcessEnvironment programEnvironment(QProcessEnvironment base = QProcessEnvironment::systemEnvironment()) const;

    // Points this process at the home: HOME, XDG_CONFIG_HOME, the all-users folder and GSettings' keyfile backend.
    // The runtime folder stays this process's own, where its session bus and Qt's own files already are.
    void enter();
    // Sets one more variable of this process while the object lives; the last value set wins, and the values
    // are restored in the reverse order.
    void setVariable(const char* name, const QByteArray& value);

private:
    QString m_root;
    std::vector<std::unique_ptr<ScopedEnv>> m_env;
};

} // namespace testsupport
