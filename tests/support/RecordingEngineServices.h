#pragma once

#include "util/EngineServices.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace testsupport {

// Engine services that show nothing: every message box and error message is recorded, and a
// message box answers what the test scripted for its key (mrNone when nothing was scripted).
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
    QMap<QString, int> answers;

    int ShowMessageBox(const QString& key, const QStringList& args, int showAgainId, int msgType, int buttons,
                       int fixedResult) override
    {
        boxes.append({key, args, showAgainId, msgType, buttons});
        return answers.value(key, mrNone);
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

} // namespace testsupport
