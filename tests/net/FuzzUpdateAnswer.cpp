// libFuzzer entry for the update answer reader: any body must parse without crashing, and every
// Name=Value line must be found again, the first line of a name winning whatever its case.
#include "net/UpdateAnswer.h"

#include <QRegularExpression>
#include <QSet>
#include <QStringList>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(bytes), qsizetype(size));
    const UpdateAnswer answer = UpdateAnswer::Parse(body);
    answer.Value(QStringLiteral("magicword"));
    answer.Value(QStringLiteral("Result"));

    // An independent reading of the same text: split at every line break kind, first name wins.
    QSet<QString> seen;
    const QStringList lines = QString::fromUtf8(body).split(QRegularExpression(QStringLiteral("\r\n|\n|\r")));
    for (const QString& line : lines) {
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            continue;
        const QString name = line.left(eq);
        if (!answer.Has(name) || !answer.Has(name.toLower()))
            __builtin_trap();
        if (seen.contains(name.toLower()))
            continue;
        seen.insert(name.toLower());
        if (answer.Value(name) != line.mid(eq + 1))
            __builtin_trap();
    }
    return 0;
}
