#pragma once

#include "support/TempDir.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

namespace testsupport {

// One start of the fake Firefox as it recorded itself.
struct FirefoxInvocation
{
    qint64 pid = 0;
    QStringList args;
};

// The fake Firefox executable and the log of its starts. While the object lives, every start
// of the fake (under any name) is recorded in the object's own log.
class FakeFirefox
{
public:
    enum class Mode
    {
        EndAtOnce,
        NeverEnd
    };

    explicit FakeFirefox(Mode mode = Mode::EndAtOnce);
    ~FakeFirefox();

    // The fake executable itself.
    static QString executable();
    // A copy of the fake named name in folder (created), e.g. to stand on a PATH; its full path.
    static QString installAs(const QString& folder, const QString& name);

    // Every start recorded so far, in order.
    QList<FirefoxInvocation> invocations() const;
    // Polls until at least count starts are recorded or timeoutMs passes; the starts seen.
    QList<FirefoxInvocation> waitForInvocations(int count, int timeoutMs = 10000) const;

private:
    TempDir m_dir;
    QString m_log;
    std::unique_ptr<ScopedEnv> m_logEnv;
    std::unique_ptr<ScopedEnv> m_modeEnv;
};

// Whether a process with this id still runs (a zombie counts as ended).
bool processIsRunning(qint64 pid);

} // namespace testsupport
