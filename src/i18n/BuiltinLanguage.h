#pragma once

#include <QByteArray>

/// The English texts compiled into the program, in language-file form. They repeat the windows'
/// own captions (so a missing language file still leaves a complete window) and hold no message
/// texts: without a language file every message key shows as itself.
QByteArray BuiltinLanguageData();
