#pragma once

#include <QString>

class QWidget;

// One message of the program's message box, as it is to be shown.
struct MessageBoxRequest
{
    QString caption;
    QString text;
    int msgType = 0;
    int buttons = 0;
    bool showAgainBox = false; // offer "Don't display this message again"
};

// What the user chose.
struct MessageBoxOutcome
{
    int result = 0;
    bool showAgainTicked = false;
};

// Puts a message in front of the user and waits for the answer. The program shows its modal
// message dialog; another presenter (a test's, a scripted demo's) answers without a person.
class IMessageBoxPresenter
{
public:
    virtual ~IMessageBoxPresenter() = default;
    // Shows the message over parent (nullptr: no owner window) and returns the user's choice.
    virtual MessageBoxOutcome Present(QWidget* parent, const MessageBoxRequest& message) = 0;
};
