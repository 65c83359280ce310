#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// Country flags as PNG bytes, looked up by the country names the proxy lists use ("United States",
// "Great Britain", "German", "Japan" ...), by ISO names and by two- or three-letter codes.
class FlagStore
{
public:
    enum class Size
    {
        Small,
        Large
    };

    static constexpr int kLargeWidth = 48;

    /// flagFolder holds <alpha-2>.png files; isoJson is the iso-codes country table.
    FlagStore(const QString& flagFolder, const QString& isoJson);

    /// The lower-case two-letter code of a country name, or empty when the name is unknown.
    QString codeOf(const QString& country) const;
    /// The PNG of a country's flag, or empty when the country or its image is unknown. "un" is the neutral flag.
    QByteArray flag(const QString& country, Size size);
    /// Number of names known (zero means the iso-codes table could not be read).
    int knownNames() const { return static_cast<int>(m_codes.size()); }

private:
    QByteArray unknownFlag(Size size) const;

    QString m_folder;
    QHash<QString, QString> m_codes; // lower-case name -> lower-case alpha-2
    QHash<QString, QByteArray> m_cache;
};
