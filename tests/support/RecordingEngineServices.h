#pragma once

#include "util/EngineServices.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace testsupport {

// Engine services that show nothing: every message box and error message is recorded. A box answers
// the first queued answer, else the answer scripted for its key, else defaultAnswer (mrNone: as if
// nothing could be shown).
class RecordingEngineServices : public TEngineServices
{
public:
    struct Box
    {
        QString key;
        QStringList args;
        int showAgainId = 0;
        int msgType = 0;
        int buttons = 0;
    };

    QList<Box> boxes;
    QList<int> errors;
    QList<int> queuedAnswers;
    QMap<QString, int> answers;
    int defaultAnswer = mrNone;

    int ShowMessageBox(const QString& key, const QStringList& args, int showAgainId, int msgType, int buttons,
                       int fixedResult) override
    {
        boxes.append({key, args, showAgainId, msgType, buttons});
        if (!queuedAnswers.isEmpty())
            return queuedAnswers.takeFirst();
        return answers.value(key, defaultAnswer);
    }
    void ShowErrorMessage(int code, const QString& extra) override { errors.append(code); }

    QStringList boxKeys() const
    {
        QStringList keys;
        for (const Box& box : boxes)
            keys << box.key;
        return keys;
    }
};

// The same, installed as the program's services while it exists, for windows that reach for
// EngineServices(); a box nobody scripted is answered with OK.
class InstalledEngineServices : public RecordingEngineServices
{
public:
    InstalledEngineServices()
    {
        defaultAnswer = mrOk;
        SetEngineServices(this);
    }
    ~InstalledEngineServices() override { SetEngineServices(nullptr); }
    InstalledEngineServices(const InstalledEngineServices&) = delete;
    InstalledEngineServices& operator=(const InstalledEngineServices&) = delete;
};

} // namespace testsupport
