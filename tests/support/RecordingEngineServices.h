#pragma once

#include "util/EngineServices.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace testsupport {

// Engine services that show nothing: every message box and error message is recorded. Hand it to what is
// under test in place of the program's services. A message box answers what the test scripted for its key,
// else the next queued answer, else unscriptedAnswer.
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

    RecordingEngineServices() = default;
    RecordingEngineServices(const RecordingEngineServices&) = delete;
    RecordingEngineServices& operator=(const RecordingEngineServices&) = delete;

    QList<Message> messages;
    QList<int> errors;
    QMap<QString, int> answers; // by key
    QList<int> queuedAnswers;   // in order, for keys without an answer
    int unscriptedAnswer = mrOk;

    int ShowMessageBox(const QString& key, const QStringList& args, int showAgainId, int msgType, int buttons,
                       int fixedResult) override
    {
        messages.append({key, args, showAgainId, msgType, buttons});
        if (answers.contains(key))
            return answers.value(key);
        return queuedAnswers.isEmpty() ? unscriptedAnswer : queuedAnswers.takeFirst();
    }
    void ShowErrorMessage(int code, const QString& extra) override { errors.append(code); }

    QStringList messageKeys() const
    {
        QStringList keys;
        for (const Message& message : messages)
            keys << message.key;
        return keys;
    }
};

} // namespace testsupport
