#include "browser/MyHtmlEx.h"

#include "app/GameApp.h"
#include "base/ThreadCheck.h"
#include "base/WindowMessages.h"
#include "include/cef_browser.h"

CMyHtmlEx::CMyHtmlEx() : exactFit(0), pendingX(0), pendingY(0), pendingWidth(0), pendingHeight(0) {}

CMyHtmlEx::~CMyHtmlEx() {}

void CMyHtmlEx::OnCreate(CREATESTRUCTW* cs) {
    SetWindowLongW(hwnd, GWL_STYLE, GetWindowLongW(hwnd, GWL_STYLE) | WS_CLIPCHILDREN);
    RECT rc;
    GetClientRect(hwnd, &rc);
    pendingX = rc.left;
    pendingY = rc.top;
    pendingWidth = rc.right - rc.left;
    pendingHeight = rc.bottom - rc.top + 3;  // always 3 more at creation
    browserParent.Create(0, nullptr, L"", WS_CHILD | WS_VISIBLE, pendingX, pendingY, pendingWidth, pendingHeight,
                         hwnd);
    clientHandler = new ClientHandler();
    // The handler's callbacks are bound by our creator right after this returns and
    // are read on the engine's thread; asking for the browser only then keeps the
    // engine from ever seeing them half-assigned.
    PostMessageW(hwnd, WM_REQUEST_BROWSER, 0, 0);
}

LRESULT CMyHtmlEx::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_REQUEST_BROWSER) {
        RequestBrowser();
        return 1;
    }
    if (msg == WM_REFIT_BROWSER) {
        OnSize(0, 0, 0);
        return 1;
    }
    if (msg == WM_SETFOCUS && clientHandler) {
        // Keys belong to the page: hand the focus on to the browser's own window,
        // so the player can type without clicking into the page first.
        CefRefPtr<CefBrowser> browser = clientHandler->GetBrowser();
        HWND view = browser ? browser->GetHost()->GetWindowHandle() : nullptr;
        if (view && IsWindow(view)) {
            ::SetFocus(view);
            return 1;
        }
    }
    return CWindowCtrl::HandleMessage(msg, wParam, lParam);
}

void CMyHtmlEx::RequestBrowser() {
    BASE_DCHECK_WINDOW_THREAD(hwnd);
    if (!clientHandler || !browserParent.hwnd) return;
    CefWindowInfo windowInfo;
    windowInfo.parent_window = browserParent.hwnd;
    windowInfo.style = WS_CHILD | WS_CLIPCHILDREN | WS_CLIPSIBLINGS | WS_TABSTOP | WS_VISIBLE;
    windowInfo.x = pendingX;
    windowInfo.y = pendingY;
    windowInfo.width = pendingWidth;
    windowInfo.height = pendingHeight;
    CefBrowserSettings settings;
    gameApp* app = gameApp::Current();
    CefString url(app ? app->startUrl : L"");
    CefBrowserHost::CreateBrowser(windowInfo, clientHandler.get(), url, settings, nullptr);
}

void CMyHtmlEx::OnSize(UINT type, int cx, int cy) {
    if (!browserParent.hwnd || !clientHandler) return;
    if (GetWindowThreadProcessId(hwnd, nullptr) != GetCurrentThreadId()) {
        // The engine's handlers refit from their thread: sizes read there could be
        // overtaken by a resize here before they are applied, and exactFit is ours.
        // The refit runs on this window's thread with the sizes of that moment.
        PostMessageW(hwnd, WM_REFIT_BROWSER, 0, 0);
        return;
    }
    CefRefPtr<CefBrowser> browser = clientHandler->GetBrowser();
    if (!browser) return;
    RECT rc = {0, 0, 0, 0};
    if (IsWindow(hwnd)) GetClientRect(hwnd, &rc);
    int width = rc.right - rc.left;
    int height = rc.bottom - rc.top + (exactFit ? 0 : 3);
    MoveWindow(browserParent.hwnd, 0, 0, width, height, TRUE);
    CefRefPtr<CefBrowserHost> host = browser->GetHost();
    HWND browserWindow = host ? host->GetWindowHandle() : nullptr;
    if (browserWindow) MoveWindow(browserWindow, 0, 0, width, height, TRUE);
}

CefRefPtr<ClientHandler> CMyHtmlEx::GetClientHandler() { return clientHandler; }

void CMyHtmlEx::ReloadIgnoreCache() {
    if (!clientHandler) return;
    CefRefPtr<CefBrowser> browser = clientHandler->GetBrowser();
    if (browser) browser->ReloadIgnoreCache();
}
