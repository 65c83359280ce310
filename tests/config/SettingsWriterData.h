#pragma once

#include <QString>

// The value the settings writer stores under "Data" at a step: large enough (about 256 KiB) that a
// kill often lands in the middle of writing it, and different for every step.
inline QString WriterData(int step)
{
    return QString::number(step) + QString(256 * 1024, QChar(u'a' + step % 26));
}
