// libFuzzer target: any bytes as the value of a reply's Content-Length header, as the flag fetch
// and the other clients judge it (libcurl splits the header block; the value is ours to read).
// A length is taken only from plain decimal digits with blanks around them, its value is those
// digits, never negative or partly read, and the kind of line break around it does not matter.

#include "net/Transfer.h"

#include "FuzzCheck.h"

#include <QByteArray>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char*>(data), qsizetype(size));
    const std::optional<qint64> length = Transfer::parseLength(text);

    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    const QByteArray digits = text.mid(begin, end - begin);
    bool plain = !digits.isEmpty() && digits.size() <= 18;
    qint64 value = 0;
    for (char c : digits) {
        plain = plain && c >= '0' && c <= '9';
        if (plain)
            value = value * 10 + (c - '0');
    }
    if (length.has_value() != plain)
        fail("a length was judged wrongly");
    if (length && *length < 0)
        fail("negative length");
    if (length && *length != value)
        fail("the length differs from its digits");

    // The same value with CR LF or LF around it reads the same.
    const std::optional<qint64> framed = Transfer::parseLength(text + "\r\n");
    const std::optional<qint64> lf = Transfer::parseLength(text + "\n");
    if (framed != length || lf != length)
        fail("the kind of line break changed the length");
    return 0;
}
