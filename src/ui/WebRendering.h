#pragma once

// Has the embedded web pages drawn in software, without OpenGL, unless the user chose a Qt Quick back
// end (QT_QUICK_BACKEND) or an X11 OpenGL integration (QT_XCB_GL_INTEGRATION) himself. Call before the
// application object exists, and EndWebRenderingSetup() right after it was made.
void UseSoftwareWebRendering();
// Removes what UseSoftwareWebRendering() put into the environment, so that programs started later (a
// browser, the help) get the user's own.
void EndWebRenderingSetup();
// Where the web engine runs without its sandbox (QTWEBENGINE_DISABLE_SANDBOX, or --no-sandbox among
// QTWEBENGINE_CHROMIUM_FLAGS), has it start each page's process itself instead of keeping two zygote processes
// for the life of the program, so that a window closed to the tray leaves no helper process behind. With the
// sandbox on, the zygotes are what sandbox the pages, and they stay. Call before the first web view exists.
void UseNoZygoteWithoutSandbox();
