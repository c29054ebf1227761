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

// The engine UI thread, run by CefInitialize and CefShutdown on the main thread:
// started with the settings the layer runs with (false when it could not be),
// and ended, its queued tasks dropped, once the layer is done with it.
bool StartUiThread(CefRefPtr<CefApp> app, CefRefPtr<CefCommandLine> commandLine, const EngineSettings& settings);
void EndUiThread();
bool UiThreadRunning();

// Quotes one argument so that CommandLineToArgvW (and Wine's argv split for a
// Linux program) reads it back unchanged.
std::wstring QuoteCommandLineArg(const std::wstring& arg);

}  // namespace cef_internal
