// The application object: one per process, on the entry point's stack.
#pragma once

#include <windows.h>
#include <mutex>
#include "ui/AppManager.h"
#include "app/LaunchFilter.h"
#include "include/cef_app.h"

class CFrameGame;
class ClientApp;
class CefBrowser;
class CefProcessMessage;

class gameApp : public CAppManager {
public:
    gameApp();
    ~gameApp() override;

    static gameApp* Current();

    bool OnInit() override;
    int PreTranslateMessage(MSG* msg) override;

    // Called on the engine UI thread when the page reports the logged-in name.
    void SetUserName(const wchar_t* name);
    // Consistent copies of the name for readers on other threads (64 units / bytes).
    void CopyUserName(wchar_t* out, size_t units);
    void CopyUserNameAnsi(char* out, size_t bytes);

    // Render side of the user-name exchange (browser/UserNameExchange.h, which
    // describes the whole route): the request, and the read of the page.
    bool OnRenderProcessMessage(CefRefPtr<CefBrowser> browser, CefProcessId source,
                                CefRefPtr<CefProcessMessage> message);
    // Visit routine: stores the text of the element "login_user", when there is one.
    void ReadLoginUser(CefRefPtr<CefDOMDocument> document);

    bool clearCacheRequested;
    wchar_t moduleDir[MAX_PATH];
    wchar_t cachePath[MAX_PATH];
    wchar_t settingsPath[MAX_PATH];
    wchar_t startUrl[512];
    HANDLE instanceMutex;
    bool firstInstance;
    // The user name as 8-bit text. In the browser process: the ANSI code page's
    // encoding of userName, for the close report. In a renderer: the name read
    // from the page, as UTF-8, which the answer carries. 63 bytes at most, cut
    // at a character boundary.
    char userNameAnsi[64];
    // The user name, UTF-16, browser process only (63 units at most).
    wchar_t userName[64];
    int agentId;
    int siteId;
    ProcessLaunchFilter launchFilter;
    // Not owned: the frame on RunBrowserProcess's stack while it runs; null otherwise.
    CFrameGame* frame;

private:
    bool RunBrowserProcess(const CefMainArgs& args, CefRefPtr<CefApp> app);

    // userName and userNameAnsi are written on the engine UI thread and read on the
    // main thread; this lock makes each copy whole, never a torn mix of two names.
    std::mutex userNameLock;
};
