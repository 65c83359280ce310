#pragma once

class QWidget;

// Restores a minimised window, shows it (mapping it again when the window manager unmapped it), raises it and asks for
// activation. The window manager may refuse to move focus; the window is then at least shown and raised. Returns
// whether the window is the active window afterwards.
bool ForceForegroundWindow(QWidget* window);
