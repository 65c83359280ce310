#pragma once

#include <QDialog>
#include <QList>
#include <QString>

class QCheckBox;

// The program's message box: a type icon, the text, the buttons of a button set and, on request,
// the box "Don't display this message again". Closing it without a button answers Cancel (2).
//
// Automation (tests, scripted demos) answers it without a person: while answers are queued,
// Execute takes the next one instead of showing the dialog and records what it would have shown.
class TMessageDialog : public QDialog
{
    Q_OBJECT

public:
    // What the user chose.
    struct Outcome
    {
        int result = 0;
        bool showAgainTicked = false;
    };
    // A message answered from the queue, as it would have been shown.
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

    TMessageDialog(QWidget* parent, const QString& caption, const QString& text, int msgType, int buttons,
                   bool showAgainBox);

    // Shows the dialog modally (or takes a queued answer) and returns the choice.
    static Outcome Execute(QWidget* parent, const QString& caption, const QString& text, int msgType, int buttons,
                           bool showAgainBox);

    // Queues the answer of the next message: the button result and whether the box gets ticked
    // (ignored when the message has no box).
    static void QueueAnswer(int result, bool tickShowAgain = false);
    // Number of answers still queued.
    static int QueuedAnswers();
    // The messages answered from the queue since the last call, oldest first.
    static QList<Record> TakeRecords();
    // Forgets queued answers and records.
    static void ResetAutomation();

    // Replaces one of the dialog's own texts (MSG_BTN_OK, MSG_BTN_CANCEL, MSG_BTN_YES, MSG_BTN_NO,
    // MSG_CAP_SHOWFLAG, ...), as a language or skin provides them.
    static void SetResourceString(const QString& name, const QString& value);
    // One of the dialog's own texts.
    static QString ResourceString(const QString& name);

    // Whether the don't-show-again box is ticked.
    bool ShowAgainTicked() const;

private:
    QCheckBox* m_showAgain = nullptr;
};
