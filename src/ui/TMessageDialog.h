#pragma once

#include "ui/IMessageBoxPresenter.h"

#include <QDialog>
#include <QString>

class QCheckBox;

// The program's message box: a type icon, the text, the buttons of a button set and, on request,
// the box "Don't display this message again". Closing it without a button answers Cancel (2).
class TMessageDialog : public QDialog
{
    Q_OBJECT

public:
    using Outcome = MessageBoxOutcome;

    TMessageDialog(QWidget* parent, const QString& caption, const QString& text, int msgType, int buttons,
                   bool showAgainBox);

    // Puts the message in front of the user through the presenter in place (by default ShowModal)
    // and returns the choice.
    static Outcome Execute(QWidget* parent, const QString& caption, const QString& text, int msgType, int buttons,
                           bool showAgainBox);
    // Shows the dialog modally and returns the choice.
    static Outcome ShowModal(QWidget* parent, const MessageBoxRequest& message);
    // Puts another presenter in place of the modal dialog (nullptr: the dialog again); returns the
    // one it replaces. The presenter must outlive its time in place.
    static IMessageBoxPresenter* SetPresenter(IMessageBoxPresenter* presenter);

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
