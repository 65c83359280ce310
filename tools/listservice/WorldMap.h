#pragma once

#include <QByteArray>
#include <QString>

/// A self-contained HTML page with a world map and, when both coordinates are given, a marker at
/// the place labelled with the tag. Coordinates must already be validated; the tag is escaped here.
QByteArray WorldMapPage(const QString& tag, const QString& longitude, const QString& latitude);
