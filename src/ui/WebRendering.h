#pragma once

// Has the embedded web pages drawn in software, without OpenGL, unless the user chose a Qt Quick back
// end (QT_QUICK_BACKEND) or an X11 OpenGL integration (QT_XCB_GL_INTEGRATION) himself. Call before the
// application object exists, and EndWebRenderingSetup() right after it was made.
void UseSoftwareWebRendering();
// Removes what UseSoftwareWebRendering() put into the environment, so that programs started later (a
// browser, the help) get the user's own.
void EndWebRenderingSetup();
// Keeps the web engine's helper processes few, for a program that spends most of its life in the tray. Where the
// engine runs without its sandbox (QTWEBENGINE_DISABLE_SANDBOX, or --no-sandbox among QTWEBENGINE_CHROMIUM_FLAGS),
// it starts each page's process itself instead of keeping two zygote processes for the life of the program, so that
// a window closed to the tray leaves no helper process behind. With the sandbox on, the zygote that sandboxes the
// pages stays, but not the second one, which only starts helpers that run unsandboxed anyway: the engine starts those
// itself. Call before the first web view exists.
void UseFewerWebEngineHelpers();
