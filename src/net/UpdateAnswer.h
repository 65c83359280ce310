#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// The service's answer to an update check: Name=Value lines (CR LF, LF or CR), names compared
// without regard to case, the first line of a name counting.
class UpdateAnswer
{
public:
    // Splits a body; lines without "=" are ignored.
    static UpdateAnswer Parse(const QByteArray& body);

    // The value of name, or empty when the answer has no such line.
    QString Value(const QString& name) const { return m_values.value(name.toLower()); }
    bool Has(const QString& name) const { return m_values.contains(name.toLower()); }

    // Whether text may be handed to the browser launcher as the answer's download page: an
    // absolute http:// or https:// address with a host, without blanks or control characters. The
    // answer comes over plain HTTP, which anyone on the way can rewrite, so anything else (another
    // scheme, a local file, a text starting with "-" that the launcher would take for an option) is
    // refused.
    static bool IsWebAddress(const QString& text);

private:
    QHash<QString, QString> m_values;
};
