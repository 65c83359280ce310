// libFuzzer target: any bytes as what tor's control port sends. Cut into replies, they must be well formed
// whichever way the bytes arrive; nothing held may grow past the bounds; the texts inside the replies and
// a consensus read from the bytes must read without harm.

#include "tor/TorQueries.h"
#include "tor/TorReplyParser.h"
#include "tor/TorReplyText.h"

#include "FuzzCheck.h"

#include <cstdint>

namespace {

// Small bounds, so that the fuzzer reaches them.
constexpr qsizetype MaxLine = 512;
constexpr qsizetype MaxReply = 4096;

struct Outcome
{
    QList<TorControlReply> replies;
    QString error;
};

Outcome readStream(const QByteArray& stream, qsizetype chunk)
{
    TorReplyParser parser(MaxLine, MaxReply);
    Outcome outcome;
    for (qsizetype at = 0; at < stream.size(); at += chunk) {
        const bool intact = parser.feed(stream.mid(at, chunk));
        outcome.replies += parser.takeReplies();
        if (parser.heldBytes() > MaxLine + MaxReply)
            fail("the parser holds more than its bounds");
        if (!intact)
            break;
    }
    outcome.error = parser.error();
    return outcome;
}

bool same(const QList<TorControlReply>& a, const QList<TorControlReply>& b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (a[i].code != b[i].code || a[i].lines.size() != b[i].lines.size())
            return false;
        for (qsizetype j = 0; j < a[i].lines.size(); ++j) {
            const TorControlReply::Line& x = a[i].lines[j];
            const TorControlReply::Line& y = b[i].lines[j];
            if (x.separator != y.separator || x.text != y.text || x.data != y.data)
                return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray stream(reinterpret_cast<const char*>(data), qsizetype(size));
    const Outcome whole = readStream(stream, stream.size() + 1);

    for (const TorControlReply& reply : whole.replies) {
        if (reply.code < 100 || reply.code > 699 || reply.lines.isEmpty())
            fail("a reply without a valid code or lines");
        for (qsizetype i = 0; i < reply.lines.size(); ++i) {
            const TorControlReply::Line& line = reply.lines[i];
            const bool last = i == reply.lines.size() - 1;
            if (last != (line.separator == ' ') || (line.separator != '-' && line.separator != '+' && !last))
                fail("a reply whose end line is not its last");
            if (line.text.contains('\n') || line.text.size() > MaxLine)
                fail("a line text with a line break or past the bound");
            if (line.separator != '+' && !line.data.isEmpty())
                fail("a data block on a line without one");
            if (line.text.size() + line.data.size() > MaxReply)
                fail("a line larger than its reply's bound");
            // The texts inside read without harm.
            torreply::keywordArguments(line.text);
            torreply::words(line.text);
        }
        const qsizetype equals = reply.firstText().indexOf('=');
        if (equals > 0) {
            bool found = false;
            const QByteArray value = reply.value(reply.firstText().left(equals), &found);
            if (!found || (reply.lines.first().separator != '+' && value != reply.firstText().mid(equals + 1)))
                fail("the value of a key a reply holds is not found");
        }
    }

    // Arriving a byte at a time, or in odd pieces, changes nothing.
    if (stream.size() <= 4096) {
        for (const qsizetype chunk : {qsizetype(1), qsizetype(5)}) {
            const Outcome pieces = readStream(stream, chunk);
            if (!same(pieces.replies, whole.replies) || pieces.error != whole.error)
                fail("the result depends on how the bytes arrive");
        }
    }

    // The same bytes as a consensus: only valid IPv4 addresses of exits come out.
    for (const QString& address : torqueries::exitRelayAddresses(stream)) {
        if (address.count(u'.') != 3 || address.size() > 15)
            fail("an exit address that is not an IPv4 address");
    }
    return 0;
}
