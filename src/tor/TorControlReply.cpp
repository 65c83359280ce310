#include "tor/TorControlReply.h"

namespace {
// Whether line answers key, and if so its value.
bool answers(const TorControlReply::Line& line, const QByteArray& key, QByteArray& value)
{
    if (!line.text.startsWith(key))
        return false;
    if (line.text.size() == key.size()) {
        value.clear();
        return true;
    }
    if (line.text.at(key.size()) != '=')
        return false;
    value = line.separator == '+' ? line.data : line.text.mid(key.size() + 1);
    return true;
}
} // namespace

QByteArray TorControlReply::value(const QByteArray& key, bool* found) const
{
    QByteArray value;
    for (const Line& line : lines) {
        if (answers(line, key, value)) {
            if (found)
                *found = true;
            return value;
        }
    }
    if (found)
        *found = false;
    return {};
}

QList<QByteArray> TorControlReply::values(const QByteArray& key) const
{
    QList<QByteArray> result;
    QByteArray value;
    for (const Line& line : lines) {
        if (answers(line, key, value))
            result << value;
    }
    return result;
}
