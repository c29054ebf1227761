#pragma once
// The program's private window messages, every one in this list so that no two
// share a number. Each is sent or posted only to windows of the program's own
// classes, which is what makes numbers of the WM_USER range safe.

#include <windows.h>

// --- game frame (frame/FrameGame.h) ------------------------------------------
// Frame command, lParam 0; wParam picks the command (FRAME_CMD_*). Posted by the
// main loop's key filter, the page's key hook, the load handlers and the frame.
const UINT WM_FRAME_COMMAND = 0x8E5;
// Callback message of the tray icon; the system tests post it by this number.
const UINT WM_TRAY_NOTIFY = 0x15B4;
// Arms the login fallback timer: timers belong to the main thread's window,
// and the load handlers run on the engine's thread.
const UINT WM_FRAME_ARM_FALLBACK = WM_APP + 0x8E5;
// Posted by the engine thread when the page's title changed: the title bar repaints.
const UINT WM_FRAME_TITLE_CHANGED = WM_APP + 0x8E6;

// --- launcher (frame/FrameBack.cpp) ------------------------------------------
// Posted by the launcher to itself once it has been activated: the frame goes
// back on top (Wine raises an activated owner above the windows it owns).
const UINT WM_BACK_FRAME_ON_TOP = WM_APP + 0x8E7;

// --- browser host window (browser/MyHtmlEx.cpp) ------------------------------
// Posted to itself on creation: the browser is requested once the creator has
// returned from creating the window and bound its callbacks into the handler.
const UINT WM_REQUEST_BROWSER = WM_APP + 0x2B1;
// Posted by OnSize when the engine's thread asks for a refit.
const UINT WM_REFIT_BROWSER = WM_APP + 0x2B2;

// --- browser layer (cef/src/api/cef_context.cpp) -----------------------------
// A task posted to the engine UI thread's message window.
const UINT WM_RUN_TASK = WM_APP + 0x1CE;
