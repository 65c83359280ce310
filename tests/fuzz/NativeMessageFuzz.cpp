// libFuzzer target: any bytes as what a browser writes to the companion host (or the host to the
// program), cut into messages the way both readers do. A message is taken only when it is whole,
// within the size bound and one JSON object; what is taken encodes back to a message that reads the
// same; a refused buffer is left as it was; nothing is ever held beyond one message's bound.

#include "platform/NativeMessageFrame.h"

#include "FuzzCheck.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using platform::NativeMessageFrame;
using Result = NativeMessageFrame::Result;

namespace {

// Feeds the stream chunk bytes at a time and takes every message; the messages taken and the final result.
Result readStream(const QByteArray& stream, qsizetype chunk, QList<QJsonObject>& messages, QByteArray& buffer)
{
    qsizetype offset = 0;
    for (;;) {
        QJsonObject message;
        const QByteArray before = buffer;
        const Result result = NativeMessageFrame::take(buffer, message);
        if (result == Result::Complete) {
            messages << message;
            continue;
        }
        if (buffer != before)
            fail("a refused or incomplete buffer was changed");
        if (result != Result::Incomplete)
            return result;
        if (buffer.size() > qsizetype(4 + NativeMessageFrame::MaxMessage))
            fail("the reader holds more than one message's bound");
        if (offset >= stream.size())
            return result;
        const qsizetype take = qMin(chunk, stream.size() - offset);
        buffer.append(stream.constData() + offset, take);
        offset += take;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray stream(reinterpret_cast<const char*>(data), qsizetype(size));

    QList<QJsonObject> messages;
    QByteArray rest;
    const Result result = readStream(stream, 4096, messages, rest);
    if (!stream.contains(rest))
        fail("the buffer holds bytes the peer never sent");
    for (const QJsonObject& message : messages) {
        const QByteArray encoded = NativeMessageFrame::encode(message);
        if (encoded.isEmpty())
            continue; // re-encoding may grow past the bound (escapes); the encoder refuses, never truncates
        QByteArray again = encoded;
        QJsonObject back;
        if (NativeMessageFrame::take(again, back) != Result::Complete || back != message || !again.isEmpty())
            fail("a message taken does not survive its own encoding");
    }
    quint32 announced = 0;
    if (rest.size() >= 4)
        std::memcpy(&announced, rest.constData(), 4);
    if (result == Result::Oversized && announced <= NativeMessageFrame::MaxMessage)
        fail("a message of allowed size was refused as oversized");
    if (result == Result::Malformed &&
        (announced > NativeMessageFrame::MaxMessage || rest.size() < qsizetype(4 + announced) ||
         QJsonDocument::fromJson(rest.mid(4, qsizetype(announced))).isObject()))
        fail("a whole JSON object was refused as malformed");

    // Arriving a byte at a time changes nothing.
    if (stream.size() <= 2048) {
        QList<QJsonObject> slow;
        QByteArray slowRest;
        if (readStream(stream, 1, slow, slowRest) != result || slow != messages)
            fail("the result depends on how the bytes arrive");
    }

    // A JSON object given by the input, framed, reads back as itself.
    const QJsonDocument document = QJsonDocument::fromJson(stream);
    if (document.isObject()) {
        QByteArray framed = NativeMessageFrame::encode(document.object());
        QJsonObject back;
        if (!framed.isEmpty() &&
            (NativeMessageFrame::take(framed, back) != Result::Complete || back != document.object()))
            fail("an encoded object does not decode to itself");
    }
    return 0;
}
