#include "ui/TMessageDialog.h"

#include "util/EngineServices.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QHash>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include <utility>

namespace {

struct ButtonKind
{
    int bit;
    int result;
    const char* textName;
};

// In the order of the bits of a button set; Help (bit 10) gives no result and is not offered.
constexpr ButtonKind kButtons[] = {
    {0, TEngineServices::mrYes, "MSG_BTN_YES"},         {1, TEngineServices::mrNo, "MSG_BTN_NO"},
    {2, TEngineServices::mrOk, "MSG_BTN_OK"},           {3, TEngineServices::mrCancel, "MSG_BTN_CANCEL"},
    {4, TEngineServices::mrAbort, "MSG_BTN_ABORT"},     {5, TEngineServices::mrRetry, "MSG_BTN_RETRY"},
    {6, TEngineServices::mrIgnore, "MSG_BTN_IGNORE"},   {7, TEngineServices::mrAll, "MSG_BTN_ALL"},
    {8, TEngineServices::mrNoToAll, "MSG_BTN_NOTOALL"}, {9, TEngineServices::mrYesToAll, "MSG_BTN_YESTOALL"},
};

QHash<QString, QString>& resourceStrings()
{
    static QHash<QString, QString> texts{
        {QStringLiteral("MSG_CAP_SHOWFLAG"), QStringLiteral("Don't display this message again")},
        {QStringLiteral("MSG_BTN_OK"), QStringLiteral("&OK")},
        {QStringLiteral("MSG_BTN_CANCEL"), QStringLiteral("Cancel")},
        {QStringLiteral("MSG_BTN_YES"), QStringLiteral("&Yes")},
        {QStringLiteral("MSG_BTN_NO"), QStringLiteral("&No")},
        {QStringLiteral("MSG_BTN_ABORT"), QStringLiteral("&Abort")},
        {QStringLiteral("MSG_BTN_RETRY"), QStringLiteral("&Retry")},
        {QStringLiteral("MSG_BTN_IGNORE"), QStringLiteral("&Ignore")},
        {QStringLiteral("MSG_BTN_ALL"), QStringLiteral("&All")},
        {QStringLiteral("MSG_BTN_NOTOALL"), QStringLiteral("N&o to All")},
        {QStringLiteral("MSG_BTN_YESTOALL"), QStringLiteral("Yes to &All")},
    };
    return texts;
}

IMessageBoxPresenter* g_presenter = nullptr;

QIcon typeIcon(int msgType)
{
    QStyle* style = QApplication::style();
    switch (msgType) {
    case TEngineServices::mtWarning:
        return style->standardIcon(QStyle::SP_MessageBoxWarning);
    case TEngineServices::mtError:
        return style->standardIcon(QStyle::SP_MessageBoxCritical);
    case TEngineServices::mtInformation:
        return style->standardIcon(QStyle::SP_MessageBoxInformation);
    case TEngineServices::mtConfirmation:
        return style->standardIcon(QStyle::SP_MessageBoxQuestion);
    default:
        return {};
    }
}

} // namespace

TMessageDialog::TMessageDialog(QWidget* parent, const QString& caption, const QString& text, int msgType, int buttons,
                               bool showAgainBox)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("dlgMessage"));
    setWindowTitle(caption);
    setModal(true);

    auto* layout = new QVBoxLayout(this);
    auto* body = new QHBoxLayout;
    const QIcon icon = typeIcon(msgType);
    if (!icon.isNull()) {
        auto* iconLabel = new QLabel(this);
        const int size = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
        iconLabel->setPixmap(icon.pixmap(size, size));
        iconLabel->setAlignment(Qt::AlignTop);
        body->addWidget(iconLabel);
    }
    auto* textLabel = new QLabel(text, this);
    textLabel->setObjectName(QStringLiteral("lbText"));
    textLabel->setWordWrap(true);
    textLabel->setTextFormat(Qt::PlainText);
    body->addWidget(textLabel, 1);
    layout->addLayout(body);

    if (showAgainBox) {
        m_showAgain = new QCheckBox(ResourceString(QStringLiteral("MSG_CAP_SHOWFLAG")), this);
        m_showAgain->setObjectName(QStringLiteral("cbShowAgain"));
        layout->addWidget(m_showAgain);
    }

    auto* row = new QHBoxLayout;
    row->addStretch(1);
    bool first = true;
    for (const ButtonKind& kind : kButtons) {
        if (!(buttons & (1 << kind.bit)))
            continue;
        auto* button = new QPushButton(ResourceString(QString::fromLatin1(kind.textName)), this);
        button->setObjectName(QString::fromLatin1(kind.textName));
        const int result = kind.result;
        connect(button, &QPushButton::clicked, this, [this, result] { done(result); });
        if (first)
            button->setDefault(true);
        first = false;
        row->addWidget(button);
    }
    // A set without any known button still needs a way out; it answers like closing the box.
    if (first) {
        auto* button = new QPushButton(ResourceString(QStringLiteral("MSG_BTN_OK")), this);
        connect(button, &QPushButton::clicked, this, [this] { done(TEngineServices::mrCancel); });
        row->addWidget(button);
    }
    layout->addLayout(row);
}

bool TMessageDialog::ShowAgainTicked() const
{
    return m_showAgain && m_showAgain->isChecked();
}

TMessageDialog::Outcome TMessageDialog::Execute(QWidget* parent, const QString& caption, const QString& text,
                                                int msgType, int buttons, bool showAgainBox)
{
    const MessageBoxRequest message{caption, text, msgType, buttons, showAgainBox};
    return g_presenter ? g_presenter->Present(parent, message) : ShowModal(parent, message);
}

TMessageDialog::Outcome TMessageDialog::ShowModal(QWidget* parent, const MessageBoxRequest& message)
{
    TMessageDialog dialog(parent, message.caption, message.text, message.msgType, message.buttons,
                          message.showAgainBox);
    const int code = dialog.exec();
    // Every button ends the dialog with a result above 0; 0 means closed without a button.
    return {code > 0 ? code : int(TEngineServices::mrCancel), dialog.ShowAgainTicked()};
}

IMessageBoxPresenter* TMessageDialog::SetPresenter(IMessageBoxPresenter* presenter)
{
    return std::exchange(g_presenter, presenter);
}

void TMessageDialog::SetResourceString(const QString& name, const QString& value)
{
    resourceStrings().insert(name.toUpper(), value);
}

QString TMessageDialog::ResourceString(const QString& name)
{
    return resourceStrings().value(name.toUpper(), name);
}
