#pragma once

#include "support/TempDir.h"

#include "util/EngineServices.h"

#include <QList>
#include <QStringList>

#include <memory>
#include <vector>

namespace testsupport {

// A private desktop home for browser tests: its own configuration folder (GSettings keyfile
// backend, kioslaverc, Opera profile, Setting.dat), no session bus, no desktop session, and the
// settings store opened on a program folder holding the given constants.
class BrowserTestHome
{
public:
    explicit BrowserTestHome(const QByteArray& constDat = QByteArrayLiteral("[const]\nApp.ConfigPath=Veilport\n"));
    ~BrowserTestHome();
    BrowserTestHome(const BrowserTestHome&) = delete;
    BrowserTestHome& operator=(const BrowserTestHome&) = delete;

    // $XDG_CONFIG_HOME of the home.
    QString configFolder() const;
    // A path below the home's root.
    QString path(const QString& relative) const { return m_dir.file(relative); }
    TempDir& dir() { return m_dir; }

private:
    TempDir m_dir;
    std::vector<std::unique_ptr<ScopedEnv>> m_env;
};

// Records every message box and answers with queued results (mrOk when the queue is empty).
class RecordingEngineServices : public TEngineServices
{
public:
    struct Message
    {
        QString key;
        QStringList args;
        int showAgainId = 0;
        int msgType = 0;
        int buttons = 0;
    };

    RecordingEngineServices() { SetEngineServices(this); }
    ~RecordingEngineServices() override { SetEngineServices(nullptr); }

    int ShowMessageBox(const QString& key, const QStringList& args, int showAgainId, int msgType, int buttons,
                       int fixedResult) override
    {
        messages.append({key, args, showAgainId, msgType, buttons});
        return answers.isEmpty() ? mrOk : answers.takeFirst();
    }

    QList<Message> messages;
    QList<int> answers;
};

} // namespace testsupport
