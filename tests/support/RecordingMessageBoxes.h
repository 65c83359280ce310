#pragma once

#include "ui/IMessageBoxPresenter.h"
#include "ui/TMessageDialog.h"

#include <QList>
#include <QQueue>
#include <QString>

#include <utility>

namespace testsupport {

// Stands in for the program's message dialog while it lives: while answers are queued, each message
// takes the next one without being shown and is recorded as it would have been shown; with none
// queued, the real modal dialog comes up (for tests that drive it like a user).
class RecordingMessageBoxes : public IMessageBoxPresenter
{
public:
    // A message answered from the queue.
    struct Record
    {
        QString caption;
        QString text;
        int msgType = 0;
        int buttons = 0;
        bool hasShowAgainBox = false;
        bool showAgainTicked = false;
        int result = 0;
    };

    RecordingMessageBoxes() : m_replaced(TMessageDialog::SetPresenter(this)) {}
    ~RecordingMessageBoxes() override { TMessageDialog::SetPresenter(m_replaced); }
    RecordingMessageBoxes(const RecordingMessageBoxes&) = delete;
    RecordingMessageBoxes& operator=(const RecordingMessageBoxes&) = delete;

    // Queues the answer of the next message: the button result and whether the box gets ticked
    // (ignored when the message has no box).
    void queueAnswer(int result, bool tickShowAgain = false) { m_answers.enqueue({result, tickShowAgain}); }
    // Number of answers still queued.
    int queuedAnswers() const { return int(m_answers.size()); }
    // The messages answered from the queue since the last call, oldest first.
    QList<Record> takeRecords() { return std::exchange(m_records, {}); }

    MessageBoxOutcome Present(QWidget* parent, const MessageBoxRequest& message) override
    {
        if (m_answers.isEmpty())
            return TMessageDialog::ShowModal(parent, message);
        MessageBoxOutcome answer = m_answers.dequeue();
        answer.showAgainTicked = answer.showAgainTicked && message.showAgainBox;
        m_records.append({message.caption, message.text, message.msgType, message.buttons, message.showAgainBox,
                          answer.showAgainTicked, answer.result});
        return answer;
    }

private:
    IMessageBoxPresenter* m_replaced;
    QQueue<MessageBoxOutcome> m_answers;
    QList<Record> m_records;
};

} // namespace testsupport
