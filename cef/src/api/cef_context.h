// Process-wide state of the browser layer, shared by its parts. Nothing outside
// cef/ includes this header.
#pragma once

#include <functional>
#include <string>
#include "include/cef_app.h"

namespace cef_internal {

// Copy of the settings the browser process was initialised with.
struct EngineSettings {
    std::wstring cachePath;
    std::wstring acceptLanguageList;
    bool ignoreCertificateErrors = false;
};

// Posts `task` to the engine UI thread; false when the thread is not running.
bool PostUiTask(std::function<void()> task);
// Runs `task` on the engine UI thread and waits for it (runs inline when called there).
bool RunUiTaskAndWait(std::function<void()> task);
bool OnUiThread();
DWORD UiThreadId();

CefRefPtr<CefApp> GetApp();
const EngineSettings& GetSettings();
// The browser process's command line after the application added its switches;
// sub-processes the layer starts inherit these switches.
CefRefPtr<CefCommandLine> GetBrowserCommandLine();

// Engine back end: started on the UI thread after it is up, stopped on it before it ends.
void EngineStart();
void EngineStop();

// Quotes one argument so that CommandLineToArgvW (and Wine's argv split for a
// Linux program) reads it back unchanged.
std::wstring QuoteCommandLineArg(const std::wstring& arg);

// Render side: runs a "--type=renderer" process; returns its exit code.
int RunRenderProcess(const CefMainArgs& args, CefRefPtr<CefApp> app, CefRefPtr<CefCommandLine> commandLine);

}  // namespace cef_internal
