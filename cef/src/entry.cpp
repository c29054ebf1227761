// The layer's entry points (include/cef_app.h): a sub-process handed to its side,
// and the browser process's start and end. They stand above the folders, which
// know nothing of them: the UI thread (api), the engine and its browsers
// (browser), the render side (render).
#include <windows.h>
#include "base/Diagnostics.h"
#include "include/cef_app.h"
#include "src/api/cef_context.h"
#include "src/browser/engine.h"
#include "src/browser/page_sound.h"
#include "src/render/render_process.h"

using namespace cef_internal;

int CefExecuteProcess(const CefMainArgs& args, CefRefPtr<CefApp> application, void* windows_sandbox_info) {
    CefRefPtr<CefCommandLine> commandLine = CefCommandLine::GetGlobalCommandLine()->Copy();
    std::wstring type = commandLine->GetSwitchValue(L"type").ToWString();
    if (type.empty()) return -1;
    if (application) application->OnBeforeCommandLineProcessing(type, commandLine);
    if (type == L"renderer") return RunRenderProcess(args, application, commandLine);
    // Other process types have no work of their own behind this layer.
    return 0;
}

bool CefInitialize(const CefMainArgs& args, const cef_settings_t& settings, CefRefPtr<CefApp> application,
                   void* windows_sandbox_info) {
    if (UiThreadRunning()) {
        base::DiagFailure(L"CefInitialize", L"called again while the layer runs");
        return false;
    }

    CefRefPtr<CefCommandLine> commandLine = CefCommandLine::CreateCommandLine();
    if (settings.command_line_args_disabled) {
        wchar_t path[MAX_PATH] = {0};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        commandLine->SetProgram(path);
    } else {
        commandLine->InitFromString(GetCommandLineW());
    }
    if (application) application->OnBeforeCommandLineProcessing(CefString(), commandLine);

    EngineSettings engineSettings;
    if (settings.cache_path.str) engineSettings.cachePath.assign(settings.cache_path.str, settings.cache_path.length);
    if (settings.accept_language_list.str)
        engineSettings.acceptLanguageList.assign(settings.accept_language_list.str,
                                                 settings.accept_language_list.length);
    engineSettings.ignoreCertificateErrors = settings.ignore_certificate_errors != 0;
    if (!StartUiThread(application, commandLine, engineSettings)) return false;

    PostUiTask([] {
        EngineStart();
        CefRefPtr<CefApp> app = GetApp();
        CefRefPtr<CefBrowserProcessHandler> handler = app ? app->GetBrowserProcessHandler() : nullptr;
        if (handler) handler->OnContextInitialized();
    });
    return true;
}

void CefShutdown() {
    if (!UiThreadRunning()) return;
    RunUiTaskAndWait([] { EngineStop(); });
    EndUiThread();
    StopWatchingWindowVisibility();
}
