// libFuzzer target: any bytes as the header block of a reply to the flag fetch, handed over one
// line at a time as the HTTP library does. Whatever the server sends, the length taken for the
// body is the first plain decimal Content-Length of the last reply or nothing, never negative or
// partly read, and the decision to write the body does not depend on the kind of line break.

#include "net/THTTPGetThread.h"

#include "FuzzCheck.h"

#include <QByteArray>
#include <QList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// Lines with their line feed, the last one possibly without.
QList<QByteArray> headerLines(const QByteArray& block)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    while (start < block.size()) {
        qsizetype end = block.indexOf('\n', start);
        end = end < 0 ? block.size() : end + 1;
        lines.append(block.mid(start, end - start));
        start = end;
    }
    return lines;
}

THTTPGetThread::ReplyHeader read(const QList<QByteArray>& lines)
{
    THTTPGetThread::ReplyHeader header;
    for (const QByteArray& line : lines)
        THTTPGetThread::ReadHeaderLine(line, header);
    return header;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray block(reinterpret_cast<const char*>(data), qsizetype(size));
    const QList<QByteArray> lines = headerLines(block);
    const THTTPGetThread::ReplyHeader header = read(lines);

    // The reply that counts starts at the last status line; its first Content-Length line decides.
    qsizetype first = 0;
    bool status = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i].startsWith("HTTP/")) {
            first = i + 1;
            status = true;
        }
    }
    if (header.responseSeen != status)
        fail("status line seen differs");
    QByteArray lengthText;
    bool named = false;
    for (qsizetype i = first; i < lines.size() && !named; ++i) {
        if (lines[i].size() >= 15 && lines[i].left(15).toLower() == "content-length:") {
            named = true;
            lengthText = lines[i].mid(15);
        }
    }
    if (header.haveLength != named)
        fail("Content-Length presence differs");
    if (header.length < 0)
        fail("negative length");

    qsizetype begin = 0;
    qsizetype end = lengthText.size();
    while (begin < end && isBlank(lengthText[begin]))
        ++begin;
    while (end > begin && isBlank(lengthText[end - 1]))
        --end;
    const QByteArray digits = lengthText.mid(begin, end - begin);
    bool plain = !digits.isEmpty() && digits.size() <= 18;
    qint64 value = 0;
    for (char c : digits) {
        plain = plain && c >= '0' && c <= '9';
        if (plain)
            value = value * 10 + (c - '0');
    }
    if (named && header.lengthValid != plain)
        fail("a length was judged wrongly");
    if (header.lengthValid && header.length != (named ? value : 0))
        fail("the length differs from its digits");
    if (!header.lengthValid && header.length != 0)
        fail("an invalid length left a value behind");

    // A binary body is written only with a valid length; any body only without an invalid one.
    const bool binary = THTTPGetThread::AcceptsHeader(header, true);
    const bool text = THTTPGetThread::AcceptsHeader(header, false);
    if (binary != (named && plain) || text != (!named || plain))
        fail("the decision to write the body is wrong");

    // The same header with LF instead of CR LF line breaks reads the same.
    QByteArray lf = block;
    lf.replace("\r\n", "\n");
    const THTTPGetThread::ReplyHeader other = read(headerLines(lf));
    if (other.haveLength != header.haveLength || other.lengthValid != header.lengthValid ||
        other.length != header.length)
        fail("the kind of line break changed the length");
    return 0;
}
