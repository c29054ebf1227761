// The game frame's reactions to browser events. The engine calls every handler
// here on its own UI thread: they touch the frame only through the lock on the
// texts, the atomic layout flag, posted messages and the browser host's refit.
#include "frame/FrameGame.h"

#include <cwchar>
#include <string>
#include "app/GameApp.h"
#include "base/Text.h"
#include "browser/ClientHandler.h"
#include "browser/UserNameExchange.h"
#include "frame/FrameLogic.h"
#include "frame/PortalAddress.h"

void CFrameGame::BindBrowserHandlers() {
    CefRefPtr<ClientHandler> handler = browserHost.GetClientHandler();
    if (!handler) return;
    // Each binding holds the gate, so a call that arrives after the frame is gone
    // finds it closed and takes the client handler's own fallback.
    std::shared_ptr<CEngineGate> gate = engineGate;
    handler->titleChangeCallback = [this, gate](const CefString& title) {
        CEngineGate::Pass pass(*gate);
        if (pass) HandleTitleChange(title);
    };
    handler->loadEndCallback = [this, gate](CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame, int status) {
        CEngineGate::Pass pass(*gate);
        if (pass) HandleLoadEnd(browser, frame, status);
    };
    handler->loadStartCallback = [this, gate](CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame) {
        CEngineGate::Pass pass(*gate);
        if (pass) HandleLoadStart(browser, frame);
    };
    handler->beforePopupCallback = [this, gate](const CefString& url, CefWindowInfo& info,
                                                CefRefPtr<CefClient>& client, CefBrowserSettings& settings) {
        CEngineGate::Pass pass(*gate);
        return pass ? HandleBeforePopup(url, info, client, settings) : true;
    };
    handler->processMessageCallback = [this, gate](CefRefPtr<CefBrowser> browser, CefProcessId source,
                                                   CefRefPtr<CefProcessMessage> message) {
        CEngineGate::Pass pass(*gate);
        return pass ? HandleProcessMessage(browser, source, message) : false;
    };
}

void CFrameGame::HandleTitleChange(const CefString& title) {
    // Through UTF-8 and back, so that unpaired surrogates come out replaced;
    // a title longer than the buffer keeps its start, never half a pair.
    std::wstring wide = base::WideFromUtf8(title.ToString());
    base::CutUtf16(wide, sizeof(pageTitle) / sizeof(pageTitle[0]) - 1);
    {
        std::lock_guard<std::mutex> guard(textLock);
        if (wide == pageTitle) return;
        memset(pageTitle, 0, sizeof(pageTitle));
        wmemcpy(pageTitle, wide.c_str(), wide.size());
    }
    // Only the latest title counts: a message already pending will read it.
    if (titlePosted.exchange(true)) return;
    HWND frame = frameWindow.load();
    if (!frame || !PostMessageW(frame, WM_FRAME_TITLE_CHANGED, 0, 0)) titlePosted = false;
}

bool CFrameGame::ApplyLoginAddress(const wchar_t* address) {
    LoginAddress login = ParseLoginAddress(address);
    if (!login.isLogin) return false;
    if (login.hasServerId) {
        std::lock_guard<std::mutex> guard(textLock);
        wcsncpy(serverId, login.serverId, 63);
        serverId[63] = 0;
    }
    return true;
}

void CFrameGame::HandleLoadStart(CefRefPtr<CefBrowser>, CefRefPtr<CefFrame> frame) {
    if (inGameLayout) {
        browserHost.OnSize(0, 0, 0);
        return;
    }
    std::wstring address = frame ? frame->GetURL().ToWString() : std::wstring();
    if (ApplyLoginAddress(address.c_str())) PostMessageW(frameWindow, WM_FRAME_ARM_FALLBACK, 0, 0);
    // The main thread may have switched meanwhile.
    if (inGameLayout) browserHost.OnSize(0, 0, 0);
}

void CFrameGame::HandleLoadEnd(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame, int) {
    std::wstring address = frame ? frame->GetURL().ToWString() : std::wstring();
    if (inGameLayout) {
        browserHost.OnSize(0, 0, 0);
        return;
    }
    if (browser && username::IsRequestPage(address)) browser->SendProcessMessage(PID_RENDERER, username::MakeRequest());
    if (ApplyLoginAddress(address.c_str())) PostMessageW(frameWindow, WM_FRAME_COMMAND, FRAME_CMD_ENTER_GAME, 0);
    if (inGameLayout) browserHost.OnSize(0, 0, 0);
}

bool CFrameGame::HandleBeforePopup(const CefString& targetUrl, CefWindowInfo&, CefRefPtr<CefClient>&,
                                   CefBrowserSettings&) {
    OpenAddress(targetUrl.ToWString());
    return true;
}

bool CFrameGame::HandleProcessMessage(CefRefPtr<CefBrowser>, CefProcessId sourceProcess,
                                      CefRefPtr<CefProcessMessage> message) {
    if (sourceProcess != PID_RENDERER) return false;
    // Every message from a renderer counts as handled; only an answer carries a name.
    std::wstring name;
    if (username::ReadAnswer(message, &name)) {
        if (gameApp* app = gameApp::Current()) app->SetUserName(name.c_str());
    }
    return true;
}
