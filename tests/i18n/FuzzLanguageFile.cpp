// libFuzzer entry for the language-file reader: any bytes must load, index and decode without
// crashing, and every look-up must stay consistent with the copy of its section.
#include "i18n/TspAceMultiLangData.h"

#include <QStringList>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    TspAceMultiLangData data;
    data.SetData(QByteArray(reinterpret_cast<const char*>(bytes), qsizetype(size)));
    data.SectionCount();
    data.Language();
    data.Translator();
    // Look up every key of a few plausible sections the way windows and messages do.
    for (const QString& section : {QStringLiteral("ResString"), QStringLiteral("skinres"), QStringLiteral("Info"),
                                   QStringLiteral("TfrmMainForm")}) {
        QStringList list;
        data.FillStrings(section, list);
        for (const QString& key : data.SectionKeys(section)) {
            QString text;
            if (!data.FindText(section, QString(), key, text))
                __builtin_trap(); // a listed key must be found
        }
    }
    return 0;
}
