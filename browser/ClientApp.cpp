#include "browser/ClientApp.h"

ClientApp::ClientApp() {}

void ClientApp::OnBeforeCommandLineProcessing(const CefString& process_type,
                                              CefRefPtr<CefCommandLine> command_line) {
    // The same switches in the browser process and in every sub-process.
    command_line->AppendSwitchWithValue("lang", "zh_cn");
    command_line->AppendSwitchWithValue("ppapi-flash-path", "pepflashplayer32_25_0_0_127.dll");
    command_line->AppendSwitchWithValue("ppapi-flash-version", "25.0.0.127");
    command_line->AppendSwitch("--disable-web-security");
}

CefRefPtr<CefBrowserProcessHandler> ClientApp::GetBrowserProcessHandler() { return this; }

CefRefPtr<CefRenderProcessHandler> ClientApp::GetRenderProcessHandler() { return this; }

bool ClientApp::OnProcessMessageReceived(CefRefPtr<CefBrowser> browser, CefProcessId source_process,
                                         CefRefPtr<CefProcessMessage> message) {
    if (!processMessageCallback) return false;
    return processMessageCallback(browser, source_process, message);
}
