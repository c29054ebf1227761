// The engine's application object: the program's switches in every process, and
// process messages arriving in the renderer handed to one bound callback.
#pragma once

#include <functional>
#include "include/cef_app.h"
#include "include/cef_browser.h"
#include "include/cef_process_message.h"

class ClientApp : public CefApp, public CefBrowserProcessHandler, public CefRenderProcessHandler {
    IMPLEMENT_REFCOUNTING(ClientApp);

public:
    typedef std::function<bool(CefRefPtr<CefBrowser>, CefProcessId, CefRefPtr<CefProcessMessage>)>
        ProcessMessageCallback;

    ClientApp();

    // CefApp
    void OnBeforeCommandLineProcessing(const CefString& process_type,
                                       CefRefPtr<CefCommandLine> command_line) override;
    CefRefPtr<CefBrowserProcessHandler> GetBrowserProcessHandler() override;
    CefRefPtr<CefRenderProcessHandler> GetRenderProcessHandler() override;

    // CefRenderProcessHandler
    bool OnProcessMessageReceived(CefRefPtr<CefBrowser> browser, CefProcessId source_process,
                                  CefRefPtr<CefProcessMessage> message) override;

    // Bound once, before the object is handed to the engine, and only read
    // afterwards (on the render thread), so it needs no lock.
    ProcessMessageCallback processMessageCallback;
};
