// The game client's main window. It starts inside the launcher with the portal's
// login page, switches once and for good to its in-game layout (own title bar,
// drop shadow, maximised) when the page shows that a game server was entered,
// and owns the tools menu, the boss key, the tray icon and the close question.
#pragma once

#include <windows.h>
#include <shellapi.h>
#include <gdiplus.h>
#include <atomic>
#include <memory>
#include <mutex>
#include "base/WindowMessages.h"
#include "browser/MyHtmlEx.h"
#include "frame/CloseMsgWnd.h"
#include "frame/EngineGate.h"
#include "frame/FrameBack.h"
#include "frame/FrameLogic.h"
#include "include/cef_browser.h"
#include "include/cef_client.h"
#include "include/cef_process_message.h"
#include "ui/ImageDialog.h"
#include "ui/ImageMenu.h"
#include "ui/ImageTipCtrl.h"

// Commands of WM_FRAME_COMMAND (base/WindowMessages.h), in its wParam.
const WPARAM FRAME_CMD_ENTER_GAME = 1001;
const WPARAM FRAME_CMD_DESTROY = 5557;
const WPARAM FRAME_CMD_TOGGLE_FULLSCREEN = 5562;
const WPARAM FRAME_CMD_LEAVE_FULLSCREEN = 5563;

// The frame command a key press stands for in the in-game layout (Esc leaves the
// full-screen view, F10 toggles it); 0 for every other message.
inline WPARAM FrameCommandForKey(const MSG& msg) {
    if (msg.message != WM_KEYDOWN && msg.message != WM_SYSKEYDOWN) return 0;
    if (msg.wParam == VK_ESCAPE) return FRAME_CMD_LEAVE_FULLSCREEN;
    if (msg.wParam == VK_F10) return FRAME_CMD_TOGGLE_FULLSCREEN;
    return 0;
}
// Where the page's title is written in the in-game title bar, client coordinates.
const RECT kTitleTextRect = {26, 4, 526, 24};
const UINT_PTR TIMER_LOGIN_FALLBACK = 5558;
const UINT_PTR TIMER_SHOW_MAXIMIZED = 5559;
const int HOTKEY_BOSS = 5561;
const UINT TRAY_ICON_ID = 128;
// How long the mouse rests on a title-bar button before its tip shows.
const UINT kTipDelayMs = 500;

class CFrameGame : public CImageDialog {
public:
    CFrameGame();
    ~CFrameGame() override;

    // Creates the launcher and the frame and runs the main loop until the frame
    // window is gone.
    void CreateAndRun();
    // The creating half of CreateAndRun; false when the frame window could not be made.
    bool CreateWindows();

    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;
    void OnCreate(CREATESTRUCTW* cs) override;
    void OnDestroy() override;
    void OnMove(int x, int y) override;
    void OnSize(UINT type, int cx, int cy) override;
    void OnShowWindow(BOOL show, int status) override;
    void OnTimer(UINT_PTR id) override;
    bool OnItemClick(CImageButton* button) override;
    bool OnItemHover(CImageButton* button) override;
    void OnDrawOverlay(Gdiplus::Graphics& g) override;

    void SetWindowIcons();
    void EnterGameLayout();
    void ToggleFullScreen();

    // Tools menu, boss key and tray icon.
    bool OpenSystemMenu();
    void RegisterBossKey();
    LRESULT HandleBossKey(WPARAM id);
    LRESULT HandleTrayNotify(WPARAM wParam, LPARAM lParam);
    void HandleSystemMenuClick(CImageItem* item);
    void HandleTrayMenuClick(CImageItem* item);

    // Browser events; the engine calls these on its own UI thread.
    void HandleTitleChange(const CefString& title);
    void HandleLoadEnd(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame, int httpStatusCode);
    void HandleLoadStart(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame);
    bool HandleBeforePopup(const CefString& targetUrl, CefWindowInfo& windowInfo, CefRefPtr<CefClient>& client,
                           CefBrowserSettings& settings);
    bool HandleProcessMessage(CefRefPtr<CefBrowser> browser, CefProcessId sourceProcess,
                              CefRefPtr<CefProcessMessage> message);
    // Login test on a loaded address; stores the server id it carries.
    bool ApplyLoginAddress(const wchar_t* address);

    // Whole copies of the texts the engine thread writes (see textLock).
    void CopyPageTitle(wchar_t* out, size_t units);
    void CopyServerId(wchar_t* out, size_t units);

    Gdiplus::Font* titleFont;    // owned: made in OnCreate, deleted in OnDestroy
    Gdiplus::Brush* titleBrush;  // owned: made in OnCreate, deleted in OnDestroy
    CImageMenu systemMenu;
    CImageMenu trayMenu;
    CImageTipCtrl toolTip;
    bool fullScreen;
    RECT savedWindowRect;
    CMyHtmlEx browserHost;
    CFrameBack backWindow;
    // Written on the main thread, read by the engine thread's handlers too.
    std::atomic<bool> inGameLayout;
    wchar_t pageTitle[260];
    wchar_t serverId[64];
    NOTIFYICONDATAW trayIconData;
    bool hiddenByBossKey;
    // Minimised by the boss key instead, where no tray icon could be added.
    bool minimisedByBossKey;
    CloseMsgWnd closeDialog;

private:
    void BindBrowserHandlers();
    void PrepareMenus();
    void AddTitleBarItems();
    void OpenPortalButton(int id);
    void HideTip();
    void ShowBackWindow();
    void PlaceShadow();
    void RemoveTrayIcon();
    // Brings the game back from the boss key, whichever way it went and comes back.
    void ComeBackFromBossKey();
    void HookPageKeys();
    void UnhookPageKeys();

    // pageTitle and serverId are written by the engine thread and read by the
    // main thread (painting, the recharge button); each access holds this lock,
    // so a reader copies either the old or the new text, never a mix.
    std::mutex textLock;
    // A WM_FRAME_TITLE_CHANGED is on its way: the engine thread posts one only
    // when none is pending, and the main thread clears the flag before it reads
    // pageTitle, so a title written after that read posts again. However fast the
    // page changes its title, the frame's queue holds at most one such message.
    std::atomic<bool> titlePosted{false};
    // The title the bar shows: the latest the main thread took from pageTitle.
    // The bar draws this copy, not pageTitle, so that what is on the screen is
    // always what the last comparison saw. Main thread.
    wchar_t shownTitle[260] = {0};
    // Esc and F10 typed into the page (see HookPageKeys); main thread.
    HHOOK pageKeyHook = nullptr;
    // The shell's message after the task bar was created anew; main thread.
    UINT taskbarCreatedMessage = 0;
    // Shared with the handlers bound into the client handler, which may outlive
    // the frame; see CEngineGate.
    std::shared_ptr<CEngineGate> engineGate;
    // The frame window as the engine thread sees it: set on creation, cleared on
    // destruction (hwnd itself is only touched on the main thread).
    std::atomic<HWND> frameWindow;
    int tipButtonId;
};
