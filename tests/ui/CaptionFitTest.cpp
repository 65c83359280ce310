// Every shipped language must fit the windows' fixed control sizes: a caption wider than its
// button, box or label is cut off on screen. Measured with the default font and the built-in
// skin on the offscreen platform, as the program shows them, so the result does not depend on
// the machine's display. And every entry of a shipped language must reach something: a key that
// names no component of its window, or a text the program never asks for, is never seen.
#include "MainWindowFixture.h"

#include "i18n/MessageTexts.h"
#include "i18n/TLanguageEngine.h"
#include "i18n/TPropertyMap.h"
#include "i18n/TspAceMultiLang.h"
#include "i18n/TspAceMultiLangData.h"
#include "i18n/TspResourceStrData.h"
#include "browsers/TCookieClearReport.h"
#include "ui/CompanionNotice.h"
#include "ui/TLocalisation.h"
#include "ui/TfrmAboutForm.h"
#include "ui/TfrmChooseIP.h"
#include "ui/TfrmLocateFirefox.h"
#include "ui/TfrmOptionForm.h"
#include "util/EngineServices.h"
#include "util/SPTools.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionButton>

namespace {

QString sourceDir()
{
    return qEnvironmentVariable("VEILPORT_SOURCE_DIR", QStringLiteral(VEILPORT_TEST_SOURCE_DIR));
}

QStringList shippedLanguages()
{
    QStringList names = QDir(sourceDir() + QStringLiteral("/data/langs"))
                            .entryList({QStringLiteral("*.lan")}, QDir::Files, QDir::Name | QDir::IgnoreCase);
    for (QString& name : names)
        name.chop(4);
    return names;
}

QString where(const QWidget* w)
{
    QStringList path;
    for (const QWidget* p = w; p; p = p->parentWidget()) {
        if (!p->objectName().isEmpty())
            path.prepend(p->objectName());
        if (p->isWindow())
            break;
    }
    return path.join(QLatin1Char('.'));
}

// Why the text of a control does not fit its fixed size, or an empty text when it fits.
QString overflow(QWidget* w, const QString& text)
{
    w->ensurePolished();
    if (auto* label = qobject_cast<QLabel*>(w)) {
        if (label->wordWrap()) {
            const int need = label->heightForWidth(label->width());
            if (need > label->height())
                return QStringLiteral("%1 \"%2\": wraps to %3 px in a height of %4")
                    .arg(where(w), text)
                    .arg(need)
                    .arg(label->height());
            return {};
        }
    }
    // The size hint is the text's advance plus the style's margins, frame and (for boxes) indicator.
    const int need = w->sizeHint().width();
    if (need > w->width())
        return QStringLiteral("%1 \"%2\": needs %3 px, has %4").arg(where(w), text).arg(need).arg(w->width());
    return {};
}

// A control lying wholly outside its parent is never seen (the About box's translator line).
bool outOfSight(const QWidget* w)
{
    const QWidget* parent = w->parentWidget();
    return parent && !QRect(QPoint(0, 0), parent->size()).intersects(w->geometry());
}

// Every caption of a window's labels, buttons and boxes that does not fit.
QStringList overflowsIn(QWidget* window)
{
    window->ensurePolished();
    QStringList problems;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        // Dialogs owned by the window are checked on their own.
        if (w->window() != window || outOfSight(w))
            continue;
        if (auto* label = qobject_cast<QLabel*>(w)) {
            if (label->text().isEmpty())
                continue;
            const QString why = overflow(label, label->text());
            if (!why.isEmpty())
                problems << why;
        } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            if (!qobject_cast<QPushButton*>(w) && !qobject_cast<QCheckBox*>(w) && !qobject_cast<QRadioButton*>(w))
                continue;
            if (button->text().isEmpty())
                continue;
            const QString why = overflow(button, button->text());
            if (!why.isEmpty())
                problems << why;
        } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
            const int need = group->fontMetrics().horizontalAdvance(group->title()) + 40;
            if (need > group->width())
                problems << QStringLiteral("%1 \"%2\": title needs %3 px").arg(where(w), group->title()).arg(need);
        }
    }
    return problems;
}

// The minutes field lies over the run of blanks in the caption of its check box: the words before
// the run must end left of the field and the words after it must start right of it.
QString fieldOverlap(QCheckBox* box, QWidget* field)
{
    box->ensurePolished();
    static const QRegularExpression blanks(QStringLiteral(" {2,}"));
    const QString text = box->text();
    const QRegularExpressionMatch run = blanks.match(text);
    if (!run.hasMatch())
        return QStringLiteral("%1 \"%2\": no run of blanks for the minutes field").arg(where(box), text);
    QStyleOptionButton option;
    option.initFrom(box);
    option.text = text;
    const int textLeft = box->x() + box->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, box).left();
    const QFontMetrics metrics = box->fontMetrics();
    const int beforeEnds = textLeft + metrics.horizontalAdvance(text.left(run.capturedStart()));
    const int afterStarts = textLeft + metrics.horizontalAdvance(text.left(run.capturedEnd()));
    if (beforeEnds > field->x() || afterStarts < field->geometry().right() + 1)
        return QStringLiteral("%1 \"%2\": the blanks span %3..%4, the field %5..%6")
            .arg(where(box), text)
            .arg(beforeEnds)
            .arg(afterStarts)
            .arg(field->x())
            .arg(field->geometry().right() + 1);
    return {};
}

// The main window's dialogs, opened as the program opens them.
struct Dialogs
{
    Dialogs(Engine& engine, DesktopBrowsers& browsers, const QString& settingsFolder, QWidget* parent)
        : options(*Settings(), engine.Services(), parent),
          chooseIP(*engine.ProxyManager(), settingsFolder, QStringLiteral("127.0.0.1:1"), QStringLiteral("127.0.0.1:1"),
                   parent),
          about(Settings()->GetConst(QStringLiteral("App.Ver")), engine.Services(), parent),
          locate(*Settings(), engine.Services(), browsers.routines(), parent)
    {
    }
    QList<QWidget*> all() { return {&options, &chooseIP, &about, &locate}; }

    TfrmOptionForm options;
    TfrmChooseIP chooseIP;
    TfrmAboutForm about;
    TfrmLocateFirefox locate;
};

class CaptionFit : public MainWindowFixture, public ::testing::WithParamInterface<QString>
{
protected:
    std::unique_ptr<Dialogs> openDialogs(QWidget* parent)
    {
        return std::make_unique<Dialogs>(*engine, *browsers, settingsFolder(), parent);
    }

    void loadLanguage(const QString& name)
    {
        ASSERT_NE(Localisation(), nullptr);
        const QString file = sourceDir() + QStringLiteral("/data/langs/") + name + QStringLiteral(".lan");
        ASSERT_TRUE(QFileInfo::exists(file)) << file.toStdString();
        // Loading the data re-translates every window that is open, as a change of language does.
        Localisation()->Language().smdCurrent()->LoadLanguageFile(file);
    }
};

} // namespace

TEST_P(CaptionFit, EveryCaptionOfTheMainWindowAndItsDialogsFitsItsControl)
{
    start();
    const auto dialogs = openDialogs(form.get());
    loadLanguage(GetParam());
    ASSERT_EQ(Localisation()->Language().smdCurrent()->Language(), GetParam()) << "the language did not load";

    QStringList problems = overflowsIn(form.get());
    for (QWidget* window : dialogs->all())
        problems << overflowsIn(window);

    problems << fieldOverlap(ui->cbChangeIP, ui->edtChangeIPTime);

    // Texts the program writes at run time into the main window's fixed labels.
    const std::pair<QLabel*, QString> runTimeTexts[] = {
        {ui->lblProgressText, text("TEXT_DOWNLOADINGPROXYLIST")},
        {ui->lblProgressText, text("TEXT_TESTPROXY")},
        {ui->lbHidingInfo, FormatArgs(text(MessageText::kHiding), {QStringLiteral("255.255.255.255")})},
        {ui->lbHidingInfo, text(MessageText::kNotHiding)},
        {ui->lbHidingInfo, text(MessageText::kStillLooking)},
        {ui->lbIP, QStringLiteral("255.255.255.255")},
        {ui->lbIP, text(MessageText::kWebBlockedTitle)},
    };
    for (const auto& [label, caption] : runTimeTexts) {
        label->setText(caption);
        problems << overflow(label, caption);
    }
    problems.removeAll(QString());

    EXPECT_TRUE(problems.isEmpty()) << GetParam().toStdString() << ":\n"
                                    << problems.join(QLatin1Char('\n')).toStdString();
}

// The fit above only means something if the dialogs show the language at all: each one opens in the
// current language, as the main window does. The companions' notices and the cookie report are put together
// from pieces at run time; each piece, and the reasons the program itself gives for a place it could not clear,
// must reach the user translated.
using DialogLanguage = CaptionFit;

TEST_F(DialogLanguage, EveryDialogAndNoticeSpeaksTheCurrentLanguage)
{
    start();
    loadLanguage(QStringLiteral("Deutsch"));
    const auto dialogs = openDialogs(form.get());
    EXPECT_EQ(dialogs->options.windowTitle(), QStringLiteral("Erweiterte Einstellungen"));
    EXPECT_EQ(dialogs->options.btnCancel->text(), QStringLiteral("Abbrechen"));
    EXPECT_EQ(dialogs->chooseIP.windowTitle(), QString::fromUtf8("IP-Land wählen"));
    EXPECT_EQ(dialogs->chooseIP.btnCancel->text(), QStringLiteral("&Abbrechen"));
    EXPECT_EQ(dialogs->about.windowTitle(), QString::fromUtf8("Über Veilport"));
    EXPECT_EQ(dialogs->locate.btnP5Cancel->text(), QStringLiteral("&Abbrechen"));

    TCookieClearReport everything;
    everything.embeddedView = true;
    everything.companionsCleared = {QStringLiteral("firefox")};
    everything.companionsFailed = {QStringLiteral("chromium: disconnected"), QStringLiteral("brave: no answer")};
    everything.profilesCleared = {QStringLiteral("Firefox default")};
    everything.profilesSkipped = {QStringLiteral("Chromium Default: in use by the running browser")};
    const QStringList notices = {
        CookieClearNotice(engine->Services(), everything),
        CookieClearNotice(engine->Services(), TCookieClearReport()),
        FirefoxCompanionNotice(engine->Services(), true, {}),
        FirefoxCompanionNotice(engine->Services(), false, {QStringLiteral("firefox")}),
        ChromiumCompanionNotice(engine->Services(), QStringLiteral("/opt/veilport/companion-chromium"), {}),
        ChromiumCompanionNotice(engine->Services(), QStringLiteral("/opt/veilport/companion-chromium"),
                                {QStringLiteral("chromium")}),
        WebRtcCompanionNotice(engine->Services(), {QStringLiteral("chromium: no privacy permission")}),
    };
    const QString all = notices.join(QStringLiteral("\n---\n"));
    for (const QString& sentence : KnownMessageTexts()) {
        // Every English sentence (its words before any %1) must have given way to its translation.
        const QString words = sentence.section(QStringLiteral("%1"), 0, 0).trimmed();
        if (words.size() > 5 && words.contains(u' ')) {
            EXPECT_FALSE(all.contains(words)) << "untranslated: " << words.toStdString() << "\n" << all.toStdString();
        }
    }
    for (const char* german :
         {"Veilports eigene Web-Ansicht", "firefox (Cookies, Cache und Verlauf, über seinen Begleiter)",
          "Firefox default (Cookies, Browser geschlossen)", "chromium: Verbindung getrennt", "brave: keine Antwort",
          "Chromium Default: vom laufenden Browser belegt", "Es wurden keine Cookies gelöscht.",
          "Bitte bestätigen Sie die Installation", "Der Firefox-Begleiter ist verbunden.",
          "den Ordner /opt/veilport/companion-chromium.", "Noch ist kein Begleiter der Chromium-Familie verbunden.",
          "WebRTC ist nicht geschützt in chromium: no privacy permission."})
        EXPECT_TRUE(all.contains(QString::fromUtf8(german))) << german << "\n" << all.toStdString();
}

namespace {

// The sections of a language text, in file order.
QStringList sectionsOf(const QByteArray& text)
{
    QStringList sections;
    for (const QByteArray& line : text.split('\n')) {
        const QByteArray t = line.trimmed();
        if (t.startsWith('[') && t.endsWith(']'))
            sections << QString::fromUtf8(t.mid(1, t.size() - 2)).trimmed();
    }
    return sections;
}

// The window's own object or one of its named components (not those of a dialog it owns).
QObject* componentOf(QObject* window, const QString& name)
{
    if (window->objectName().compare(name, Qt::CaseInsensitive) == 0)
        return window;
    for (QObject* child : window->findChildren<QObject*>()) {
        if (child->objectName().compare(name, Qt::CaseInsensitive) != 0)
            continue;
        QObject* owner = child->parent();
        while (owner && owner != window && !owner->findChild<TspAceMultiLang*>(QString(), Qt::FindDirectChildrenOnly))
            owner = owner->parent();
        if (owner == window)
            return child;
    }
    return nullptr;
}

bool containsName(const QStringList& names, const QString& name)
{
    return names.contains(name, Qt::CaseInsensitive);
}

} // namespace

using ShippedLanguage = CaptionFit;

TEST_P(ShippedLanguage, EveryKeyNamesARealComponentOrText)
{
    start();
    form->show(); // the first show adds the skin menu's designed entry
    const auto dialogs = openDialogs(nullptr);
    QHash<QString, QObject*> windows;
    for (QObject* window : {static_cast<QObject*>(&engine->Window()), static_cast<QObject*>(form.get())})
        windows.insert(TspAceMultiLang::SectionOf(window).toLower(), window);
    for (QObject* window : dialogs->all())
        windows.insert(TspAceMultiLang::SectionOf(window).toLower(), window);

    QStringList skinTexts;
    for (const QString& entry : DefaultResStrings())
        skinTexts << entry.section(u'=', 0, 0);
    const QStringList infoKeys{QStringLiteral("Language"), QStringLiteral("Version"), QStringLiteral("Translator"),
                               QStringLiteral("testver")};

    TspAceMultiLangData data;
    data.LoadLanguageFile(sourceDir() + QStringLiteral("/data/langs/") + GetParam() + QStringLiteral(".lan"));
    const QStringList sections = sectionsOf(data.Data());
    ASSERT_GE(sections.size(), 5) << "the language did not load";
    QStringList problems;
    for (const QString& section : sections) {
        for (const QString& key : data.SectionKeys(section)) {
            const QString where = QStringLiteral("[%1] %2").arg(section, key);
            if (section.compare(QLatin1String("ResString"), Qt::CaseInsensitive) == 0) {
                if (!containsName(KnownMessageTexts(), key))
                    problems << where + QStringLiteral(": no such text is shown");
            } else if (section.compare(QLatin1String("skinres"), Qt::CaseInsensitive) == 0) {
                if (!containsName(skinTexts, key))
                    problems << where + QStringLiteral(": no such skin text");
            } else if (section.compare(QLatin1String("Info"), Qt::CaseInsensitive) == 0) {
                if (!containsName(infoKeys, key))
                    problems << where + QStringLiteral(": no such entry");
            } else if (QObject* window = windows.value(section.toLower())) {
                const qsizetype dot = key.indexOf(u'.');
                QObject* component = dot > 0 ? componentOf(window, key.left(dot)) : nullptr;
                QString text;
                data.FindText(section, QString(), key, text);
                // Written as the translator writes it: the property must exist and take the text.
                if (!component)
                    problems << where + QStringLiteral(": no such component");
                else if (!TPropertyMap::Write(component, key.mid(dot + 1), text, component == window))
                    problems << where + QStringLiteral(": the component has no such text property");
            } else {
                problems << where + QStringLiteral(": no such window");
            }
        }
    }
    EXPECT_TRUE(problems.isEmpty()) << GetParam().toStdString() << ":\n"
                                    << problems.join(QLatin1Char('\n')).toStdString();
}

INSTANTIATE_TEST_SUITE_P(ShippedLanguages, ShippedLanguage, ::testing::ValuesIn(shippedLanguages()),
                         [](const ::testing::TestParamInfo<QString>& info) { return info.param.toStdString(); });

// Measured with the built-in skin, the one a first start shows.
INSTANTIATE_TEST_SUITE_P(ShippedLanguages, CaptionFit, ::testing::ValuesIn(shippedLanguages()),
                         [](const ::testing::TestParamInfo<QString>& info) { return info.param.toStdString(); });
