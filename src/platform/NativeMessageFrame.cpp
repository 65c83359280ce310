#include "platform/NativeMessageFrame.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <cstring>

namespace platform {

NativeMessageFrame::Result NativeMessageFrame::take(QByteArray& buffer, QJsonObject& message)
{
    if (buffer.size() < 4)
        return Result::Incomplete;
    quint32 length = 0;
    std::memcpy(&length, buffer.constData(), sizeof(length));
    if (length > MaxMessage)
        return Result::Oversized;
    if (buffer.size() < qsizetype(4 + length))
        return Result::Incomplete;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(buffer.mid(4, qsizetype(length)), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return Result::Malformed;
    message = document.object();
    buffer.remove(0, qsizetype(4 + length));
    return Result::Complete;
}

QByteArray NativeMessageFrame::encode(const QJsonObject& message)
{
    const QByteArray json = QJsonDocument(message).toJson(QJsonDocument::Compact);
    if (quint32(json.size()) > MaxMessage)
        return {};
    const quint32 length = quint32(json.size());
    QByteArray bytes(reinterpret_cast<const char*>(&length), sizeof(length));
    bytes.append(json);
    return bytes;
}

} // namespace platform
