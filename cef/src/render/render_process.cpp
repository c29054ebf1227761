// Render side of a browser: the "--type=renderer" process. It takes process
// messages from the browser process over the pipe RenderHost made, hands them to
// the application's render-process handler on this process's main thread, and
// reads the page's live document through a DevTools session of its own, carried
// over the same pipe.
#include "src/render/render_process.h"

#include <memory>
#include <vector>
#include "src/render/render_browser.h"
#include "src/render/render_channel.h"
#include "src/render/render_switches.h"

namespace cef_internal {

int RunRenderProcess(const CefMainArgs& args, CefRefPtr<CefApp> app, CefRefPtr<CefCommandLine> commandLine) {
    if (!commandLine) return 0;
    std::wstring pipeName = commandLine->GetSwitchValue(kRendererPipeSwitch).ToWString();
    DWORD parentPid = wcstoul(commandLine->GetSwitchValue(kRendererParentSwitch).c_str(), nullptr, 10);
    if (pipeName.empty() || !parentPid) return 0;

    // Without its browser process a renderer has nothing to do, so it watches it.
    HANDLE parent = OpenProcess(SYNCHRONIZE, FALSE, parentPid);
    if (!parent) return 0;

    int browserId = _wtoi(commandLine->GetSwitchValue(kRendererBrowserIdSwitch).c_str());
    std::string targetId = commandLine->GetSwitchValue(kRendererTargetSwitch).ToString();
    auto channel = std::make_shared<RenderChannel>(browserId, targetId, parent, parentPid);
    if (channel->OpenPipe(pipeName)) {
        // Without the page the renderer still takes messages; its documents are then unreachable.
        if (!targetId.empty()) channel->AttachPage();

        CefRefPtr<CefRenderProcessHandler> handler = app ? app->GetRenderProcessHandler() : nullptr;
        CefRefPtr<CefBrowser> browser = CreateRenderBrowser(channel);
        if (handler) {
            handler->OnRenderThreadCreated(CefListValue::Create());
            handler->OnWebKitInitialized();
            handler->OnBrowserCreated(browser);
        }
        std::vector<CefRefPtr<CefProcessMessage>> messages;
        while (channel->Receive(&messages)) {
            for (CefRefPtr<CefProcessMessage>& message : messages)
                if (handler) handler->OnProcessMessageReceived(browser, PID_BROWSER, message);
        }
        if (handler) handler->OnBrowserDestroyed(browser);
    }
    // Objects the program may still hold fail quietly from here on.
    channel->Shutdown();
    channel.reset();
    CloseHandle(parent);
    return 0;
}

}  // namespace cef_internal
