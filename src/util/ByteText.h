#pragma once

#include <QByteArray>
#include <QString>

// The program's files are byte texts. They are read as UTF-8; a byte that is not part of valid
// UTF-8 is kept as the lone surrogate U+DC80..U+DCFF, so that writing the text back restores the
// original bytes exactly (no file is ever damaged by a round trip through the program).

// Decodes bytes as UTF-8, keeping invalid bytes as escape characters.
QString BytesToText(const QByteArray& bytes);
// Encodes text as UTF-8, turning escape characters back into their original bytes.
QByteArray TextToBytes(const QString& text);
