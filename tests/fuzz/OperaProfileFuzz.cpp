// libFuzzer target: any bytes as Opera's profile file, into which the proxy entries are written.
// The file belongs to Opera: after the three entries of section "Proxy" have been set, they read
// back as written, and every other line of the file is still there, byte for byte and in order.

#include "platform/PrivateProfileFile.h"

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

QByteArray withoutCr(const QByteArray& line)
{
    return line.endsWith('\r') ? line.chopped(1) : line;
}

// Lines the writer may add or replace: the "Proxy" section's header and any entry of the three keys.
bool touchable(const QByteArray& line)
{
    const QByteArray t = withoutCr(line).trimmed();
    if (t.size() >= 2 && t.startsWith('[') && t.endsWith(']'))
        return QString::fromUtf8(t.mid(1, t.size() - 2)).trimmed().compare(kSection, Qt::CaseInsensitive) == 0;
    const qsizetype eq = withoutCr(line).indexOf('=');
    if (eq < 0 || t.startsWith(';') || t.startsWith('#'))
        return false;
    const QString key = QString::fromUtf8(withoutCr(line).left(eq)).trimmed();
    for (const QString& k : kKeys) {
        if (key.compare(k, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QList<QByteArray> linesOf(const QByteArray& bytes)
{
    QList<QByteArray> lines = bytes.split('\n');
    if (bytes.endsWith('\n') || bytes.isEmpty())
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    // The proxy comes from a list line, which cannot hold a line break; every other byte can reach it.
    QByteArray proxyBytes = input.right(qMin<qsizetype>(input.size(), 30));
    proxyBytes.replace('\r', "").replace('\n', "");
    const QString proxy = QString::fromUtf8(proxyBytes);

    platform::PrivateProfileFile ini;
    ini.setContents(input);
    ini.value(kSection, kKeys[1]);
    ini.setValue(kSection, kKeys[0], proxy.isEmpty() ? QStringLiteral("0") : QStringLiteral("1"));
    ini.setValue(kSection, kKeys[1], proxy);
    ini.setValue(kSection, kKeys[2], QString());
    const QByteArray output = ini.contents();

    if (ini.value(kSection, kKeys[0]) != (proxy.isEmpty() ? QStringLiteral("0") : QStringLiteral("1")))
        fail("Use HTTP does not read back");
    if (ini.value(kSection, kKeys[1], QStringLiteral("\x01")) != proxy.trimmed())
        fail("HTTP server does not read back");
    if (ini.value(kSection, kKeys[2], QStringLiteral("\x01")) != QString())
        fail("No Proxy Servers does not read back");

    // The same from the bytes that would be saved.
    platform::PrivateProfileFile reread;
    reread.setContents(output);
    if (reread.contents() != output)
        fail("the written file does not load back to itself");
    if (reread.value(kSection, kKeys[1], QStringLiteral("\x01")) != proxy.trimmed())
        fail("HTTP server does not read back from the saved bytes");

    // Opera's own lines: all of them kept, in order, unchanged; at most a section and three entries added.
    const QList<QByteArray> before = linesOf(input);
    const QList<QByteArray> after = linesOf(output);
    if (untouched(before) != untouched(after))
        fail("a line that is not a proxy entry changed");
    if (after.size() < before.size() || after.size() > before.size() + 4)
        fail("lines lost or too many added");
    if (input.endsWith('\n') && !output.endsWith('\n'))
        fail("the final line break was lost");
    // Writing the same entries again changes nothing.
    ini.setValue(kSection, kKeys[0], proxy.isEmpty() ? QStringLiteral("0") : QStringLiteral("1"));
    ini.setValue(kSection, kKeys[1], proxy);
    ini.setValue(kSection, kKeys[2], QString());
    if (ini.contents() != output)
        fail("writing the same entries twice changed the file");
    return 0;
}
