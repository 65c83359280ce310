#pragma once

#include <QStringList>

/// The skin library's own texts (window-menu entries, caption-button hints, message-box buttons and
/// captions, texts of its file, print, find and colour dialogs) as Name=Text pairs, in English.
/// A language's section "skinres" is copied over them.
QStringList DefaultResStrings();
