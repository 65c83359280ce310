#include "FlagStore.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>

namespace {

// Names the proxy lists have always used that are not ISO names.
const char* const kAliases[][2] = {
    {"great britain", "gb"}, {"britain", "gb"},   {"england", "gb"},   {"uk", "gb"},      {"german", "de"},
    {"usa", "us"},           {"america", "us"},   {"russia", "ru"},    {"korea", "kr"},   {"czech republic", "cz"},
    {"holland", "nl"},       {"hong kong", "hk"}, {"macedonia", "mk"}, {"vatican", "va"}, {"ivory coast", "ci"},
    {"burma", "mm"},
};

constexpr int kSmallWidth = 16;
constexpr int kSmallHeight = 11;

QByteArray encodePng(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace

FlagStore::FlagStore(const QString& flagFolder, const QString& isoJson) : m_folder(flagFolder)
{
    QFile f(isoJson);
    if (f.open(QIODevice::ReadOnly)) {
        const QJsonArray countries = QJsonDocument::fromJson(f.readAll()).object().value("3166-1").toArray();
        for (const QJsonValue& v : countries) {
            const QJsonObject o = v.toObject();
            const QString code = o.value("alpha_2").toString().toLower();
            if (code.isEmpty())
                continue;
            m_codes.insert(code, code);
            for (const char* key : {"alpha_3", "name", "common_name", "official_name"}) {
                const QString name = o.value(QLatin1String(key)).toString().toLower();
                if (!name.isEmpty())
                    m_codes.insert(name, code);
            }
        }
    }
    for (const auto& alias : kAliases)
        m_codes.insert(QLatin1String(alias[0]), QLatin1String(alias[1]));
}

QString FlagStore::codeOf(const QString& country) const
{
    return m_codes.value(country.trimmed().toLower());
}

QByteArray FlagStore::flag(const QString& country, Size size)
{
    const bool unknown = country.compare(QLatin1String("un"), Qt::CaseInsensitive) == 0;
    const QString code = unknown ? QStringLiteral("un") : codeOf(country);
    if (code.isEmpty())
        return {};
    const QString key = code + (size == Size::Large ? QStringLiteral("/L") : QStringLiteral("/S"));
    auto it = m_cache.constFind(key);
    if (it != m_cache.constEnd())
        return *it;

    QByteArray png;
    if (unknown) {
        png = unknownFlag(size);
    } else {
        QImage image(m_folder + QLatin1Char('/') + code + QStringLiteral(".png"));
        if (image.isNull())
            return {};
        if (size == Size::Large)
            image = image.scaledToWidth(kLargeWidth, Qt::SmoothTransformation);
        png = encodePng(image);
    }
    m_cache.insert(key, png);
    return png;
}

// "Every country": a globe on a plain blue field, drawn rather than shipped so no file can go missing.
QByteArray FlagStore::unknownFlag(Size size) const
{
    const int scale = size == Size::Large ? kLargeWidth / kSmallWidth : 1;
    QImage image(kSmallWidth * scale, kSmallHeight * scale, QImage::Format_ARGB32);
    image.fill(QColor(0x4a, 0x90, 0xd9));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::white, scale));
    const QRectF globe(image.width() / 2.0 - 4.0 * scale, image.height() / 2.0 - 4.0 * scale, 8.0 * scale, 8.0 * scale);
    p.drawEllipse(globe);
    p.drawLine(QPointF(globe.left(), globe.center().y()), QPointF(globe.right(), globe.center().y()));
    p.drawEllipse(globe.adjusted(2.5 * scale, 0, -2.5 * scale, 0));
    p.end();
    return encodePng(image);
}
