#pragma once

#include <QString>

// The desktop folders under their traditional names; the folders themselves follow the XDG conventions.

// A per-user data folder by its traditional name ("AppData"), else GetCommonShellFolder(name).
// No trailing "/"; unknown names give an empty text.
QString GetShellFolder(const QString& name);
// The machine-wide data folder by its traditional name ("Common AppData"); no trailing "/".
QString GetCommonShellFolder(const QString& name);
