#include "ui/TfrmAboutForm.h"

#include "ui/TLocalisation.h"
#include "util/EngineServices.h"
#include "util/SPTools.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

namespace {

// Language values carry line breaks and edge blanks as tags.
QString DecodeLanguageValue(QString value)
{
    value.replace(QStringLiteral("<BR>"), QStringLiteral("\r\n"), Qt::CaseInsensitive);
    value.replace(QStringLiteral("<SP>"), QStringLiteral(" "), Qt::CaseInsensitive);
    return value;
}

// The value of name in a list of Name=Value pairs (the last one wins, as later pairs override).
bool FindPair(const QStringList& pairs, const QString& name, QString& value)
{
    bool found = false;
    for (const QString& pair : pairs) {
        const qsizetype eq = pair.indexOf(QLatin1Char('='));
        if (eq < 0 || pair.left(eq).trimmed().compare(name, Qt::CaseInsensitive) != 0)
            continue;
        value = pair.mid(eq + 1);
        found = true;
    }
    return found;
}

} // namespace

TfrmAboutForm::TfrmAboutForm(const QString& version, const TEngineServices& texts, QWidget* parent)
    : QDialog(parent), m_version(version), m_texts(texts)
{
    setObjectName(QStringLiteral("frmAboutForm"));
    setWindowTitle(QStringLiteral("About Veilport"));
    setFixedSize(409, 155);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    imgLogo = new QLabel(this);
    imgLogo->setObjectName(QStringLiteral("spPngImageView1"));
    imgLogo->setGeometry(16, 16, 64, 63);
    const QPixmap logo(GetAppPath() + QStringLiteral("res/veilport.png"));
    if (!logo.isNull())
        imgLogo->setPixmap(logo.scaled(64, 63, Qt::KeepAspectRatio, Qt::SmoothTransformation));

    lbAbout = new QLabel(QStringLiteral("Veilport"), this);
    lbAbout->setObjectName(QStringLiteral("lbAbout"));
    lbAbout->setGeometry(96, 16, 297, 24);
    QFont titleFont = lbAbout->font();
    titleFont.setBold(true);
    titleFont.setPixelSize(18);
    lbAbout->setFont(titleFont);

    lbVersion = new QLabel(this);
    lbVersion->setObjectName(QStringLiteral("lbVersion"));
    lbVersion->setGeometry(96, 44, 297, 18);

    lbCopyRight = new QLabel(QStringLiteral("Veilport hides your IP address from web sites by sending your browsers "
                                            "through a tested anonymous proxy."),
                             this);
    lbCopyRight->setObjectName(QStringLiteral("lbCopyRight"));
    lbCopyRight->setWordWrap(true);
    lbCopyRight->setGeometry(96, 66, 297, 40);

    // Designed below the visible area: the translator's credit is kept but not shown.
    lbTranslater = new QLabel(this);
    lbTranslater->setObjectName(QStringLiteral("lbTranslater"));
    lbTranslater->setGeometry(96, 216, 297, 32);

    btnOk = new QPushButton(QStringLiteral("OK"), this);
    btnOk->setObjectName(QStringLiteral("btnOk"));
    btnOk->setGeometry(318, 118, 75, 25);
    btnOk->setDefault(true);
    connect(btnOk, &QPushButton::clicked, this, &QDialog::accept);

    if (const QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen())
        move(screen->geometry().center() - rect().center());
    // Translated first: FormCreate then writes the version line and translator text of its own.
    AttachWindowTranslator(this);
    FormCreate();
}

QString TfrmAboutForm::VersionPattern(const TEngineServices& texts)
{
    QStringList pairs;
    texts.LangStrings(QStringLiteral("TfrmAboutForm"), pairs);
    QString pattern;
    if (!FindPair(pairs, QStringLiteral("lbVersion.Lines"), pattern))
        return QString();
    return DecodeLanguageValue(pattern);
}

QString TfrmAboutForm::TranslatorText(const TEngineServices& texts)
{
    QStringList pairs;
    texts.LangStrings(QStringLiteral("Info"), pairs);
    QString language;
    QString translator;
    FindPair(pairs, QStringLiteral("Language"), language);
    FindPair(pairs, QStringLiteral("Translator"), translator);
    language = DecodeLanguageValue(language).trimmed();
    if (language.isEmpty() || language == QLatin1String("English"))
        return QString();
    return language + QStringLiteral(" is tranlated by ") + QStringLiteral("\r\n") +
           DecodeLanguageValue(translator).trimmed();
}

void TfrmAboutForm::FormCreate()
{
    // The pattern ends with a line break in the language data; one line is shown.
    lbVersion->setText(FormatArgs(VersionPattern(m_texts), {m_version}).trimmed());
    lbTranslater->setText(TranslatorText(m_texts));
}
