#include "WorldMap.h"

#include <QStringList>

namespace {

// Coarse coastlines (longitude, latitude) in an equirectangular projection: enough to recognise the
// continents at the size of a dialog, small enough to ship in every page with no tile server.
// clang-format off
const char* const kLand[] = {
    // North and Central America
    "-168,66 -162,70 -140,70 -128,70 -110,73 -95,72 -80,73 -62,66 -64,60 -56,52 -66,45 -70,42 -76,35 -81,31 "
    "-80,25 -82,27 -84,30 -90,29 -97,27 -97,22 -94,18 -88,21 -87,16 -83,15 -83,10 -79,9 -78,8 -81,8 -86,12 "
    "-92,15 -96,16 -105,20 -106,23 -112,29 -110,23 -115,30 -118,34 -122,37 -124,42 -124,48 -130,54 -137,59 "
    "-147,61 -153,58 -160,56 -165,60",
    // Greenland
    "-73,78 -60,82 -30,83 -20,80 -20,72 -25,68 -40,65 -43,60 -50,64 -55,70 -60,76",
    // South America
    "-78,8 -72,12 -62,11 -52,5 -50,0 -44,-2 -35,-5 -35,-9 -39,-15 -41,-22 -48,-26 -53,-34 -58,-38 -62,-41 "
    "-65,-45 -68,-51 -70,-55 -74,-52 -73,-45 -73,-37 -71,-30 -70,-18 -76,-14 -81,-6 -80,0",
    // Europe and Asia
    "-9,37 -9,43 -1,46 -4,48 2,51 8,54 11,57 10,59 5,58 5,62 14,67 20,70 28,71 40,68 44,66 60,70 70,73 80,73 "
    "100,78 112,74 130,71 140,72 160,70 180,69 180,65 170,60 163,58 156,51 155,58 143,59 137,54 141,48 133,43 "
    "129,41 126,35 122,40 121,37 119,35 122,31 120,26 111,21 108,21 106,17 109,12 105,9 101,13 100,7 103,1 98,8 "
    "98,16 94,17 92,22 87,21 80,15 77,8 73,17 70,22 67,24 62,25 57,26 56,24 59,22 52,16 45,13 43,13 39,22 35,28 "
    "34,29 33,31 35,33 36,36 30,36 26,38 26,41 23,37 22,40 19,41 19,42 16,44 13,45 12,44 16,41 18,40 16,38 "
    "15,40 11,42 9,44 7,44 3,43 0,39 -2,37 -6,36",
    // Africa
    "-6,36 10,37 11,33 20,31 25,32 32,31 34,28 38,22 43,13 51,12 48,5 41,-2 40,-10 40,-16 35,-24 33,-28 27,-34 "
    "20,-35 18,-32 15,-27 12,-17 14,-10 12,-5 9,-1 9,4 5,6 -2,5 -8,4 -13,8 -17,13 -17,21 -13,27 -10,30",
    // Australia
    "114,-22 114,-26 115,-34 118,-35 123,-34 131,-31 138,-35 141,-38 147,-38 150,-37 153,-31 153,-25 146,-19 "
    "142,-11 140,-18 136,-12 131,-11 126,-14 122,-18",
    "-5,50 1,51 2,53 -2,56 -2,58 -5,59 -6,56 -3,55 -3,53 -5,52",                         // Great Britain
    "-10,52 -6,52 -6,55 -8,55 -10,54",                                                    // Ireland
    "-24,65 -14,66 -14,64 -22,63",                                                        // Iceland
    "130,31 132,34 135,34 140,35 141,38 142,40 140,41 139,38 136,36 133,35 130,33",       // Japan
    "140,42 144,43 145,44 142,45",                                                        // Hokkaido
    "109,2 114,4 117,7 119,5 118,1 116,-4 111,-3",                                        // Borneo
    "95,5 98,4 104,-2 106,-6 101,-3",                                                     // Sumatra
    "105,-6 114,-7 114,-8 106,-7",                                                        // Java
    "131,-1 141,-3 150,-6 147,-8 141,-9 138,-8 133,-4",                                   // New Guinea
    "120,18 122,18 126,7 125,6 122,7 120,14",                                             // Philippines
    "172,-35 178,-38 175,-42 172,-41",                                                    // New Zealand
    "173,-41 174,-42 170,-46 167,-46",
    "49,-12 50,-16 47,-25 44,-24 44,-17",                                                 // Madagascar
    "-85,22 -74,20 -77,20",                                                               // Cuba
    "-180,-78 180,-78 180,-90 -180,-90",                                                  // Antarctica
};

const char* const kWater[] = {
    "47,45 52,47 54,42 54,37 49,37 49,41",  // Caspian Sea
    "28,42 28,45 34,46 38,47 41,42 36,41 29,41", // Black Sea
};
// clang-format on

// Screen coordinates: x = longitude + 180, y = 90 - latitude.
QString toPoints(const char* lonLat)
{
    QStringList out;
    for (const QString& pair : QString::fromLatin1(lonLat).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList p = pair.split(QLatin1Char(','));
        out << QStringLiteral("%1,%2").arg(p[0].toDouble() + 180).arg(90 - p[1].toDouble());
    }
    return out.join(QLatin1Char(' '));
}

} // namespace

QByteArray WorldMapPage(const QString& tag, const QString& longitude, const QString& latitude)
{
    QString shapes;
    for (const char* land : kLand)
        shapes += QStringLiteral("<polygon class=\"land\" points=\"%1\"/>\n").arg(toPoints(land));
    for (const char* water : kWater)
        shapes += QStringLiteral("<polygon class=\"water\" points=\"%1\"/>\n").arg(toPoints(water));

    const QString label = tag.toHtmlEscaped();
    QString marker;
    if (!longitude.isEmpty() && !latitude.isEmpty()) {
        const double x = longitude.toDouble() + 180;
        const double y = 90 - latitude.toDouble();
        // Labels near the right edge grow leftwards so they stay on the map.
        const bool leftwards = x > 250;
        marker = QStringLiteral("<g id=\"marker\"><circle cx=\"%1\" cy=\"%2\" r=\"3.2\" class=\"pin\"/>"
                                "<circle cx=\"%1\" cy=\"%2\" r=\"1.2\" fill=\"#fff\"/>"
                                "<text x=\"%3\" y=\"%4\" text-anchor=\"%5\" class=\"tag\">%6</text></g>\n")
                     .arg(x)
                     .arg(y)
                     .arg(leftwards ? x - 5 : x + 5)
                     .arg(y < 12 ? y + 8 : y - 4)
                     .arg(leftwards ? QStringLiteral("end") : QStringLiteral("start"))
                     .arg(label);
    }

    const QString page =
        QStringLiteral(
            "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>%1</title>\n"
            "<style>html,body{margin:0;padding:0;overflow:hidden;background:#9cc3e6;height:100%;}"
            "svg{display:block;width:100%;height:100%;}.land{fill:#e8e1c8;stroke:#8a8466;stroke-width:0.3;}"
            ".water{fill:#9cc3e6;stroke:#8a8466;stroke-width:0.3;}.grid{stroke:#b6d3ee;stroke-width:0.3;}"
            ".pin{fill:#d62d20;stroke:#fff;stroke-width:0.6;}"
            ".tag{font:bold 8px sans-serif;fill:#222;paint-order:stroke;stroke:#fff;stroke-width:2px;}</style>\n"
            "</head><body>\n"
            "<svg viewBox=\"0 5 360 150\" preserveAspectRatio=\"xMidYMid slice\">\n"
            "<path class=\"grid\" d=\"M0 30H360M0 60H360M0 90H360M0 120H360M0 150H360"
            "M60 0V180M120 0V180M180 0V180M240 0V180M300 0V180\"/>\n"
            "%2%3</svg>\n</body></html>\n")
            .arg(label, shapes, marker);
    return page.toUtf8();
}
