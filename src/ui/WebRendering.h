#pragma once

// Has the embedded web pages drawn in software, without OpenGL, unless the user chose a Qt Quick back
// end (QT_QUICK_BACKEND) or an X11 OpenGL integration (QT_XCB_GL_INTEGRATION) himself. Call before the
// application object exists, and EndWebRenderingSetup() right after it was made.
void UseSoftwareWebRendering();
// Removes what UseSoftwareWebRendering() put into the environment, so that programs started later (a
// browser, the help) get the user's own.
void EndWebRenderingSetup();
