#pragma once

#include <QByteArray>
#include <QJsonObject>

namespace platform {

// The framing of browser native messaging: a 32-bit length in the machine's own byte order, then
// that many bytes of UTF-8 JSON. The companion's messages are a few hundred bytes; anything near the
// bound is not from the companion and ends the conversation rather than being buffered.
class NativeMessageFrame
{
public:
    // Largest message accepted either way.
    static constexpr quint32 MaxMessage = 64 * 1024;

    enum class Result
    {
        Incomplete, // more bytes are needed
        Complete,   // a message was taken from the front of the buffer
        Oversized,  // announces more than MaxMessage
        Malformed,  // the bytes are not one JSON object
    };

    // Takes the first message from the front of buffer. Complete: message holds it and its bytes are
    // removed from buffer; the other results leave buffer as it was.
    static Result take(QByteArray& buffer, QJsonObject& message);
    // The bytes of message; empty when it would exceed MaxMessage.
    static QByteArray encode(const QJsonObject& message);
};

} // namespace platform
