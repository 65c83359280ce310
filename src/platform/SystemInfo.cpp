#include "platform/SystemInfo.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>

#include <sys/utsname.h>

namespace platform {

namespace {

struct LocaleId
{
    const char* name;
    quint32 id;
};

// Full locale names first; a bare language maps to its primary country's number.
const LocaleId kLocaleIds[] = {
    {"ar_SA", 1025}, {"bg_BG", 1026}, {"ca_ES", 1027}, {"zh_TW", 1028}, {"cs_CZ", 1029},  {"da_DK", 1030},
    {"de_DE", 1031}, {"el_GR", 1032}, {"en_US", 1033}, {"es_ES", 3082}, {"fi_FI", 1035},  {"fr_FR", 1036},
    {"he_IL", 1037}, {"hu_HU", 1038}, {"is_IS", 1039}, {"it_IT", 1040}, {"ja_JP", 1041},  {"ko_KR", 1042},
    {"nl_NL", 1043}, {"nb_NO", 1044}, {"no_NO", 1044}, {"pl_PL", 1045}, {"pt_BR", 1046},  {"ro_RO", 1048},
    {"ru_RU", 1049}, {"hr_HR", 1050}, {"sk_SK", 1051}, {"sq_AL", 1052}, {"sv_SE", 1053},  {"th_TH", 1054},
    {"tr_TR", 1055}, {"ur_PK", 1056}, {"id_ID", 1057}, {"uk_UA", 1058}, {"be_BY", 1059},  {"sl_SI", 1060},
    {"et_EE", 1061}, {"lv_LV", 1062}, {"lt_LT", 1063}, {"fa_IR", 1065}, {"vi_VN", 1066},  {"hy_AM", 1067},
    {"az_AZ", 1068}, {"eu_ES", 1069}, {"mk_MK", 1071}, {"af_ZA", 1078}, {"ka_GE", 1079},  {"hi_IN", 1081},
    {"ms_MY", 1086}, {"kk_KZ", 1087}, {"sw_KE", 1089}, {"bn_IN", 1093}, {"ta_IN", 1097},  {"gl_ES", 1110},
    {"zh_CN", 2052}, {"de_CH", 2055}, {"en_GB", 2057}, {"es_MX", 2058}, {"fr_BE", 2060},  {"it_CH", 2064},
    {"nl_BE", 2067}, {"nn_NO", 2068}, {"pt_PT", 2070}, {"sr_RS", 2074}, {"sv_FI", 2077},  {"zh_HK", 3076},
    {"de_AT", 3079}, {"en_AU", 3081}, {"fr_CA", 3084}, {"zh_SG", 4100}, {"de_LU", 4103},  {"en_CA", 4105},
    {"fr_CH", 4108}, {"en_NZ", 5129}, {"en_IE", 6153}, {"en_ZA", 7177}, {"en_IN", 16393}, {"ar", 1025},
    {"bg", 1026},    {"ca", 1027},    {"cs", 1029},    {"da", 1030},    {"de", 1031},     {"el", 1032},
    {"en", 1033},    {"es", 3082},    {"fi", 1035},    {"fr", 1036},    {"he", 1037},     {"hu", 1038},
    {"is", 1039},    {"it", 1040},    {"ja", 1041},    {"ko", 1042},    {"nl", 1043},     {"nb", 1044},
    {"no", 1044},    {"pl", 1045},    {"pt", 2070},    {"ro", 1048},    {"ru", 1049},     {"hr", 1050},
    {"sk", 1051},    {"sq", 1052},    {"sv", 1053},    {"th", 1054},    {"tr", 1055},     {"ur", 1056},
    {"id", 1057},    {"uk", 1058},    {"be", 1059},    {"sl", 1060},    {"et", 1061},     {"lv", 1062},
    {"lt", 1063},    {"fa", 1065},    {"vi", 1066},    {"hy", 1067},    {"az", 1068},     {"eu", 1069},
    {"mk", 1071},    {"af", 1078},    {"ka", 1079},    {"hi", 1081},    {"ms", 1086},     {"kk", 1087},
    {"sw", 1089},    {"bn", 1093},    {"ta", 1097},    {"gl", 1110},    {"zh", 2052},     {"nn", 2068},
    {"sr", 2074},
};

const QHash<QString, quint32>& localeTable()
{
    static const QHash<QString, quint32> table = [] {
        QHash<QString, quint32> t;
        for (const LocaleId& entry : kLocaleIds)
            t.insert(QString::fromLatin1(entry.name), entry.id);
        return t;
    }();
    return table;
}

// The language the user's messages are in, by the usual precedence of the C library.
QString environmentLocale()
{
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const QByteArray value = qgetenv(name);
        if (!value.isEmpty())
            return QString::fromLocal8Bit(value);
    }
    return QString();
}

} // namespace

quint32 WindowsLanguageId(const QString& localeName)
{
    // Drop the code set and the modifier: "pt_BR.UTF-8@euro" -> "pt_BR".
    QString name = localeName.section(QLatin1Char('.'), 0, 0).section(QLatin1Char('@'), 0, 0).trimmed();
    name.replace(QLatin1Char('-'), QLatin1Char('_'));
    const QString language = name.section(QLatin1Char('_'), 0, 0).toLower();
    const QString country = name.section(QLatin1Char('_'), 1, 1).toUpper();
    const QHash<QString, quint32>& table = localeTable();
    if (!country.isEmpty()) {
        const auto it = table.constFind(language + QLatin1Char('_') + country);
        if (it != table.constEnd())
            return it.value();
    }
    return table.value(language, 1033);
}

void ParseKernelRelease(const QString& release, int& major, int& minor)
{
    static const QRegularExpression re(QStringLiteral("^(\\d+)(?:\\.(\\d+))?"));
    const QRegularExpressionMatch m = re.match(release.trimmed());
    major = m.hasMatch() ? m.captured(1).toInt() : 0;
    minor = m.hasMatch() && m.hasCaptured(2) ? m.captured(2).toInt() : 0;
}

QString PrettyNameFromOsRelease(const QByteArray& text)
{
    for (const QByteArray& rawLine : text.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (!line.startsWith("PRETTY_NAME="))
            continue;
        QString value = QString::fromUtf8(line.mid(12)).trimmed();
        if (value.size() >= 2 && (value.startsWith(QLatin1Char('"')) || value.startsWith(QLatin1Char('\''))) &&
            value.endsWith(value.at(0)))
            value = value.mid(1, value.size() - 2);
        value.replace(QStringLiteral("\\\""), QStringLiteral("\""));
        return value.left(128);
    }
    return QString();
}

LinuxSystemInfo::LinuxSystemInfo(const QString& etcFolder, const QString& osReleaseFile)
    : m_etcFolder(etcFolder), m_osReleaseFile(osReleaseFile)
{
}

static QString kernelRelease()
{
    struct utsname name
    {
    };
    if (uname(&name) != 0)
        return QString();
    return QString::fromLatin1(name.release);
}

int LinuxSystemInfo::osMajorVersion() const
{
    int major = 0, minor = 0;
    ParseKernelRelease(kernelRelease(), major, minor);
    return major;
}

int LinuxSystemInfo::osMinorVersion() const
{
    int major = 0, minor = 0;
    ParseKernelRelease(kernelRelease(), major, minor);
    return minor;
}

QString LinuxSystemInfo::servicePackText() const
{
    QFile file(m_osReleaseFile);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return PrettyNameFromOsRelease(file.read(64 * 1024));
}

quint32 LinuxSystemInfo::systemLanguageId() const
{
    return WindowsLanguageId(environmentLocale());
}

QString LinuxSystemInfo::channel(const QString& regPath, const QString& def) const
{
    // A path that climbs out of the folder is not a channel file a distributor wrote.
    if (regPath.isEmpty() || regPath.contains(QStringLiteral("..")))
        return def;
    QFile file(m_etcFolder + QLatin1Char('/') + regPath + QStringLiteral("/CHL"));
    if (!file.open(QIODevice::ReadOnly))
        return def;
    // Only the first line counts; the file is written by hand or by a package script.
    const QByteArray first = file.read(4096).split('\n').value(0);
    return QString::fromUtf8(first).trimmed();
}

} // namespace platform
