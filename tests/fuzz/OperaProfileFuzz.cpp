// libFuzzer target: any bytes as Opera's profile file, into which the proxy entries are written.
// The file belongs to Opera: after the three entries of section "Proxy" have been set, they read
// back as written, and every other line of the file is still there, byte for byte and in order.

#include "util/TIniFile.h"

#include "FuzzCheck.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

const QString kSection = QStringLiteral("Proxy");
const QString kKeys[] = {QStringLiteral("Use HTTP"), QStringLiteral("HTTP server"), QStringLiteral("No Proxy Servers")};

QByteArray trimBlanks(QByteArray text)
{
    while (!text.isEmpty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove(0, 1);
    while (!text.isEmpty() && (text.back() == ' ' || text.back() == '\t'))
        text.chop(1);
    return text;
}

// Lines the writer may add or replace: the "Proxy" section's header and any entry of the three keys.
bool touchable(const QByteArray& line)
{
    const QByteArray t = trimBlanks(line);
    if (t == "[" + kSection.toUtf8() + "]")
        return true;
    const qsizetype eq = line.indexOf('=');
    if (eq < 0 || t.startsWith(';') || t.startsWith('#'))
        return false;
    const QString key = QString::fromUtf8(trimBlanks(line.left(eq)));
    for (const QString& k : kKeys) {
        if (key.compare(k, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// The file's lines, without the empty piece after a final line break.
QList<QByteArray> linesOf(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return {};
    QList<QByteArray> lines = splitLines(bytes);
    if (bytes.endsWith('\n') || bytes.endsWith('\r'))
        lines.removeLast();
    return lines;
}

QList<QByteArray> untouched(const QList<QByteArray>& lines)
{
    QList<QByteArray> kept;
    for (const QByteArray& line : lines) {
        if (!touchable(line))
            kept.append(line);
    }
    return kept;
}

void writeEntries(TIniFile& ini, const QString& proxy)
{
    ini.WriteString(kSection, kKeys[0], proxy.isEmpty() ? QStringLiteral("0") : QStringLiteral("1"));
    ini.WriteString(kSection, kKeys[1], proxy);
    ini.WriteString(kSection, kKeys[2], QString());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    // The proxy comes from a list line, which cannot hold a line break; every other byte can reach it.
    QByteArray proxyBytes = input.right(qMin<qsizetype>(input.size(), 30));
    proxyBytes.replace('\r', "").replace('\n', "");
    const QString proxy = QString::fromUtf8(proxyBytes);
    const QString stored = QString::fromUtf8(trimBlanks(proxy.toUtf8()));

    TIniFile ini;
    ini.LoadFromBytes(input);
    const bool hadSection = ini.SectionExists(kSection);
    ini.ReadString(kSection, kKeys[1], QString());
    writeEntries(ini, proxy);
    const QByteArray output = ini.ToBytes();

    if (ini.ReadString(kSection, kKeys[0], QString()) != (proxy.isEmpty() ? QStringLiteral("0") : QStringLiteral("1")))
        fail("Use HTTP does not read back");
    if (ini.ReadString(kSection, kKeys[1], QStringLiteral("\x01")) != proxy)
        fail("HTTP server does not read back");
    if (ini.ReadString(kSection, kKeys[2], QStringLiteral("\x01")) != QString())
        fail("No Proxy Servers does not read back");

    // The same from the bytes that would be saved.
    TIniFile reread;
    reread.LoadFromBytes(output);
    if (reread.ToBytes() != output)
        fail("the written file does not load back to itself");
    if (reread.ReadString(kSection, kKeys[1], QStringLiteral("\x01")) != stored)
        fail("HTTP server does not read back from the saved bytes");

    // Opera's own lines: all of them kept, in order, unchanged; at most a blank line before a new
    // section, its header and three entries added.
    const QList<QByteArray> before = linesOf(input);
    const QList<QByteArray> after = linesOf(output);
    QList<QByteArray> kept = untouched(after);
    if (!hadSection && kept.size() == untouched(before).size() + 1 && trimBlanks(kept.last()).isEmpty())
        kept.removeLast(); // the blank line that sets the new section off, right before it at the end
    if (untouched(before) != kept)
        fail("a line that is not a proxy entry changed");
    if (after.size() < before.size() || after.size() > before.size() + 5)
        fail("lines lost or too many added");
    if ((input.endsWith('\n') || input.endsWith('\r')) && !(output.endsWith('\n') || output.endsWith('\r')))
        fail("the final line break was lost");
    // Writing the same entries again changes nothing.
    writeEntries(ini, proxy);
    if (ini.ToBytes() != output)
        fail("writing the same entries twice changed the file");
    return 0;
}
