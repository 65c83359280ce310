// libFuzzer target: any bytes as the service's answer to an update check. Every Name=Value line must
// be found again with its value untouched, the first line of a name winning whatever its letter
// case, and the names the program reads must never come from a later line or a line without "=".

#include "net/UpdateAnswer.h"
#include "FuzzCheck.h"
#include "util/SPTools.h"

#include <QList>
#include <QSet>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(data), qsizetype(size));
    const UpdateAnswer answer = UpdateAnswer::Parse(body);

    QSet<QString> seen;
    int checked = 0;
    for (const QByteArray& line : splitLines(body)) {
        const qsizetype eq = line.indexOf('=');
        if (eq <= 0)
            continue;
        const QString name = QString::fromUtf8(line.left(eq));
        const QString folded = name.toLower();
        if (!answer.Has(name) || !answer.Has(folded))
            fail("a name of the answer is not found");
        if (seen.contains(folded))
            continue;
        seen.insert(folded);
        // Values are taken as they stand: blanks, further "=" and all.
        if (answer.Value(name) != QString::fromUtf8(line.mid(eq + 1)))
            fail("a value differs from its first line");
        if (++checked > 256)
            break;
    }

    // The names the update check reads: absent means empty, and Result reads as a number or 0.
    for (const char* name : {"magicword", "Result", "info", "page"}) {
        const QString key = QString::fromLatin1(name);
        if (!seen.contains(key.toLower()) && checked <= 256 && (answer.Has(key) || !answer.Value(key).isEmpty()))
            fail("a name the answer does not hold was found");
    }
    const int result = SafeStrToInt(answer.Value(QStringLiteral("Result")), 0);
    if (answer.Value(QStringLiteral("Result")).isEmpty() && result != 0)
        fail("a missing Result is not 0");
    return 0;
}
