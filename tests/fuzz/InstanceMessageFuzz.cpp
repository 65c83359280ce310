// libFuzzer target: any bytes as what a peer writes to the instance socket, read the way the
// running copy reads it (never more than the request still announces), and any bytes as the
// answer a second start reads back. A request is taken only when it is whole and exactly what its
// sender encoded; nothing may make the reader hold more than one request's worth of bytes.

#include "platform/UnixInstanceChannel.h"

#include "FuzzCheck.h"

#include <QByteArray>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using platform::UnixInstanceChannel;
using Frame = UnixInstanceChannel::Frame;

namespace {

constexpr qsizetype kHeaderSize = 16;

quint32 bigEndian(const QByteArray& bytes, qsizetype at)
{
    quint32 v = 0;
    for (qsizetype i = 0; i < 4; ++i)
        v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    return v;
}

// Reads the stream as the server does, taking up to chunk bytes per wake-up; returns the final state.
Frame readStream(const QByteArray& stream, qsizetype chunk, QByteArray& buffer, UnixInstanceChannel::Request& request)
{
    qsizetype offset = 0;
    for (;;) {
        qsizetype wanted = -1;
        const Frame frame = UnixInstanceChannel::decodeRequest(buffer, request, wanted);
        if (frame != Frame::Incomplete)
            return frame;
        if (wanted <= 0)
            fail("an incomplete request wants no more bytes");
        if (buffer.size() + wanted > kHeaderSize + qsizetype(UnixInstanceChannel::MaxPayload))
            fail("the reader would hold more than the largest request");
        if (offset >= stream.size())
            return frame; // the peer stopped writing; the deadline ends it
        const qsizetype take = qMin(qMin(wanted, chunk), stream.size() - offset);
        buffer.append(stream.constData() + offset, take);
        offset += take;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray stream(reinterpret_cast<const char*>(data), qsizetype(size));

    QByteArray buffer;
    UnixInstanceChannel::Request request;
    const Frame frame = readStream(stream, 4096, buffer, request);
    if (!stream.startsWith(buffer))
        fail("the buffer is not what the peer sent");
    switch (frame) {
    case Frame::Complete:
        if (UnixInstanceChannel::encodeRequest(request.message, request.wParam, request.payload) != buffer)
            fail("a request taken differs from its bytes");
        if (quint32(request.payload.size()) > UnixInstanceChannel::MaxPayload)
            fail("an oversized payload was taken");
        break;
    case Frame::Malformed:
        if (buffer.size() >= 4 && std::memcmp(buffer.constData(), "VPIM", 4) == 0)
            fail("a request with the right start was refused");
        break;
    case Frame::Oversized:
        if (buffer.size() < kHeaderSize || bigEndian(buffer, 12) <= UnixInstanceChannel::MaxPayload)
            fail("a request of allowed size was refused as oversized");
        break;
    case Frame::Incomplete:
        if (buffer.size() != stream.size())
            fail("bytes left unread while waiting for more");
        break;
    }

    // Arriving a byte at a time changes nothing.
    if (stream.size() <= 4096) {
        QByteArray slow;
        UnixInstanceChannel::Request slowRequest;
        const Frame slowFrame = readStream(stream, 1, slow, slowRequest);
        if (slowFrame != frame || slow != buffer || slowRequest.payload != request.payload ||
            slowRequest.message != request.message || slowRequest.wParam != request.wParam)
            fail("the result depends on how the bytes arrive");
    }

    // Anything a sender encodes is read back whole.
    if (stream.size() >= 8 && quint32(stream.size() - 8) <= UnixInstanceChannel::MaxPayload) {
        const quint32 message = bigEndian(stream, 0);
        const qint32 wParam = qint32(bigEndian(stream, 4));
        const QByteArray payload = stream.mid(8);
        const QByteArray encoded = UnixInstanceChannel::encodeRequest(message, wParam, payload);
        UnixInstanceChannel::Request back;
        qsizetype wanted = 0;
        if (UnixInstanceChannel::decodeRequest(encoded, back, wanted) != Frame::Complete || back.message != message ||
            back.wParam != wParam || back.payload != payload)
            fail("an encoded request does not decode to itself");
    }

    // The answer a second start reads: only a well-formed "answered" reply yields a result.
    const QByteArray reply = stream.left(UnixInstanceChannel::ReplySize);
    const std::optional<qint32> result = UnixInstanceChannel::decodeReply(reply);
    if (result) {
        if (UnixInstanceChannel::encodeReply(result) != reply)
            fail("a reply accepted differs from its bytes");
    } else if (reply.size() == UnixInstanceChannel::ReplySize && reply.startsWith("VPIR") && reply[4] == 0) {
        fail("a well-formed reply was refused");
    }
    if (UnixInstanceChannel::decodeReply(UnixInstanceChannel::encodeReply(std::nullopt)))
        fail("an answer from nobody carried a result");
    return 0;
}
