#include "proxy/CountryNames.h"

#include <QHash>
#include <QLocale>

namespace {

const QHash<QString, QString>& CodesByFoldedName()
{
    static const QHash<QString, QString> table = [] {
        QHash<QString, QString> codes;
        for (int t = 1; t <= int(QLocale::LastTerritory); ++t) {
            const auto territory = QLocale::Territory(t);
            const QString code = QLocale::territoryToCode(territory);
            if (code.size() == 2)
                codes.insert(QLocale::territoryToString(territory).toCaseFolded(), code);
        }
        // Names the lists use that Qt spells otherwise.
        codes.insert(QStringLiteral("usa"), QStringLiteral("US"));
        codes.insert(QStringLiteral("uk"), QStringLiteral("GB"));
        codes.insert(QStringLiteral("russian federation"), QStringLiteral("RU"));
        codes.insert(QStringLiteral("korea, republic of"), QStringLiteral("KR"));
        codes.insert(QStringLiteral("czech republic"), QStringLiteral("CZ"));
        return codes;
    }();
    return table;
}

} // namespace

QString CountryCodeOfName(const QString& name)
{
    return CodesByFoldedName().value(name.trimmed().toCaseFolded());
}

QString CountryNameOfCode(const QString& code)
{
    if (code.size() != 2)
        return {};
    const QLocale::Territory territory = QLocale::codeToTerritory(code.toUpper());
    return territory == QLocale::AnyTerritory ? QString() : QLocale::territoryToString(territory);
}
