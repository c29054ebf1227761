#include "browser/ClientApp.h"

#include "BuildConfig.h"

namespace {
// Our own sites, which read one another's pages as one site: the game, the portal,
// the statistics server, the forum, the payment site and the sibling game.
std::string OwnHosts() {
    std::wstring stats = CefString(VORNMARK_STATS_HOST_A).ToWString();
    std::wstring hosts;
    for (const std::wstring& host : {std::wstring(VORNMARK_GAME_HOST_W), std::wstring(VORNMARK_PORTAL_HOST_W), stats,
                                     std::wstring(VORNMARK_FORUM_HOST_W), std::wstring(VORNMARK_PAY_HOST_W),
                                     std::wstring(VORNMARK_SIBLING_GAME_HOST_W)}) {
        if (host.empty() || (L"," + hosts + L",").find(L"," + host + L",") != std::wstring::npos) continue;
        if (!hosts.empty()) hosts += L",";
        hosts += host;
    }
    return CefString(hosts).ToString();
}
}  // namespace

ClientApp::ClientApp() {}

void ClientApp::OnBeforeCommandLineProcessing(const CefString& process_type,
                                              CefRefPtr<CefCommandLine> command_line) {
    // The same switches in the browser process and in every sub-process.
    command_line->AppendSwitchWithValue("lang", "zh_cn");
    command_line->AppendSwitchWithValue("ppapi-flash-path", "pepflashplayer32_25_0_0_127.dll");
    command_line->AppendSwitchWithValue("ppapi-flash-version", "25.0.0.127");
    // Web security stays on: with it off, any frame of another site inside the game
    // page read the player's page, ran code in it and fetched the portal with the
    // login cookie. What the game needs of it, its own sites reading one another,
    // the browser layer grants for the sites named here.
    command_line->AppendSwitchWithValue("own-hosts", OwnHosts());
    if (*VORNMARK_CERT_SPKI_HASHES)
        command_line->AppendSwitchWithValue("ignore-certificate-errors-spki-list", VORNMARK_CERT_SPKI_HASHES);
}

CefRefPtr<CefBrowserProcessHandler> ClientApp::GetBrowserProcessHandler() { return this; }

CefRefPtr<CefRenderProcessHandler> ClientApp::GetRenderProcessHandler() { return this; }

bool ClientApp::OnProcessMessageReceived(CefRefPtr<CefBrowser> browser, CefProcessId source_process,
                                         CefRefPtr<CefProcessMessage> message) {
    if (!processMessageCallback) return false;
    return processMessageCallback(browser, source_process, message);
}
