// The tools menu, the boss key and the tray icon of the game frame.
#include "frame/FrameGame.h"

#include <atomic>
#include <cwchar>
#include "app/GameApp.h"
#include "base/ThreadCheck.h"
#include "browser/ClientHandler.h"
#include "frame/FrameLogic.h"

namespace {
const wchar_t kTrayTip[] = L"Vornmark";

struct MenuEntry {
    int id;
    const wchar_t* text;
};
const MenuEntry kSystemMenuEntries[] = {
    {kIdMenuClearCache, L"清除缓存"},
    {kIdMenuRefresh, L"刷新"},
    {kIdMenuBossKey, L"老板键(Alt+D)"},
};
const MenuEntry kTrayMenuEntries[] = {
    {kIdTrayRestore, L"系统设置"},
    {kIdTrayQuit, L"关闭"},
};

// Rows are added while the menu has no window; destroying the window empties
// the list, so every opening after a choice adds them again.
template <size_t N>
void FillMenu(CImageMenu& menu, const MenuEntry (&entries)[N]) {
    if (IsWindow(menu.hwnd)) return;
    for (const MenuEntry& e : entries) {
        CImageItem* row = menu.list.AddItem(e.id);
        if (!row) continue;
        CImageButton* b = row->AddButton(e.id, RECT{1, 1, 94, 94}, e.text, 0, 0, 0, 0);
        if (b) b->SetTextColors(0xFF0C0C0C, 0xFF0C0C0C, 0xFF0C0C0C);
    }
}

int VisibleRowsHeight(CImageMenu& menu) {
    int h = 0;
    for (CImageItem* row : menu.list.items)
        if (row->visible) h += row->height;
    return h;
}

void CloseMenu(CImageMenu& menu) {
    if (!IsWindow(menu.hwnd)) return;
    ShowWindow(menu.hwnd, SW_HIDE);
    DestroyWindow(menu.hwnd);
}
}  // namespace

void CFrameGame::PrepareMenus() {
    CImageMenu* menus[2] = {&systemMenu, &trayMenu};
    for (CImageMenu* menu : menus) {
        menu->SetClassName(L"velmar_menu");
        menu->list.defaultItemHeight = 24;
        menu->list.SetHoverColor(0xFF9CD0FE);
    }
    systemMenu.list.SetOnItemClick([this](CImageItem* item) { HandleSystemMenuClick(item); });
    trayMenu.list.SetOnItemClick([this](CImageItem* item) { HandleTrayMenuClick(item); });
}

bool CFrameGame::OpenSystemMenu() {
    BASE_DCHECK_WINDOW_THREAD(hwnd);
    FillMenu(systemMenu, kSystemMenuEntries);
    POINT cursor = {0, 0};
    GetCursorPos(&cursor);
    RECT frame = {0, 0, 0, 0};
    GetWindowRect(hwnd, &frame);
    systemMenu.Popup(cursor.x - 10, frame.top + 30);
    return true;
}

void CFrameGame::HandleSystemMenuClick(CImageItem* item) {
    BASE_DCHECK_WINDOW_THREAD(hwnd);
    int id = item ? item->id : 0;
    if (id == kIdMenuClearCache) {
        // Carried out at exit and on the next start, once the engine has let go.
        if (gameApp* app = gameApp::Current()) app->clearCacheRequested = true;
    } else if (id == kIdMenuRefresh) {
        browserHost.ReloadIgnoreCache();
    }
    CloseMenu(systemMenu);
}

void CFrameGame::RegisterBossKey() { RegisterHotKey(hwnd, HOTKEY_BOSS, MOD_ALT, 'D'); }

namespace {
// The frame that Esc and F10 typed into the page go to. Written on the main
// thread, read by the hook on the engine's thread.
std::atomic<HWND> g_pageKeyTarget{nullptr};

LRESULT CALLBACK PageKeyHook(int code, WPARAM removed, LPARAM lParam) {
    const MSG* msg = reinterpret_cast<const MSG*>(lParam);
    if (code == HC_ACTION && removed == PM_REMOVE && msg) {
        WPARAM command = FrameCommandForKey(*msg);
        HWND target = g_pageKeyTarget.load();
        if (command && target) PostMessageW(target, WM_FRAME_COMMAND, command, 0);
    }
    return CallNextHookEx(nullptr, code, removed, lParam);
}
}  // namespace

void CFrameGame::HookPageKeys() {
    BASE_DCHECK_WINDOW_THREAD(hwnd);
    // While the player plays, the keyboard focus is in the page, whose window
    // belongs to the engine's UI thread: its keys never pass the main loop's
    // filter. A hook on that thread gives the two keys the same meaning there;
    // the page still receives them.
    CefRefPtr<ClientHandler> handler = browserHost.GetClientHandler();
    CefRefPtr<CefBrowser> browser = handler ? handler->GetBrowser() : nullptr;
    CefRefPtr<CefBrowserHost> host = browser ? browser->GetHost() : nullptr;
    HWND view = host ? host->GetWindowHandle() : nullptr;
    DWORD thread = view ? GetWindowThreadProcessId(view, nullptr) : 0;
    if (pageKeyHook || !thread || thread == GetCurrentThreadId()) return;
    g_pageKeyTarget = hwnd;
    pageKeyHook = SetWindowsHookExW(WH_GETMESSAGE, PageKeyHook, nullptr, thread);
    if (!pageKeyHook) g_pageKeyTarget = nullptr;
}

void CFrameGame::UnhookPageKeys() {
    BASE_DCHECK_WINDOW_THREAD(hwnd);
    g_pageKeyTarget = nullptr;
    if (pageKeyHook) UnhookWindowsHookEx(pageKeyHook);
    pageKeyHook = nullptr;
}

void CFrameGame::RemoveTrayIcon() { Shell_NotifyIconW(NIM_DELETE, &trayIconData); }

void CFrameGame::ComeBackFromBossKey() {
    BASE_DCHECK_WINDOW_THREAD(hwnd);
    bool hidden = hiddenByBossKey;
    hiddenByBossKey = false;
    minimisedByBossKey = false;
    // Shown first: removing the icon is a synchronous call into the shell, which
    // may take seconds to tidy its emptied tray window (without a window manager
    // about two), and the player is waiting for the game, not for the icon.
    ShowWindow(hwnd, IsIconic(hwnd) ? SW_RESTORE : SW_SHOW);
    // Hiding leaves the windows the frame owns (a page's dialog, the question
    // whether to close) on the screen, so they were hidden with it.
    ShowOwnedPopups(hwnd, TRUE);
    InvalidateRect(hwnd, nullptr, TRUE);
    if (hidden) RemoveTrayIcon();
}

LRESULT CFrameGame::HandleBossKey(WPARAM id) {
    BASE_DCHECK_WINDOW_THREAD(hwnd);
    if (id != (WPARAM)HOTKEY_BOSS) return 0;
    // Minimised by the boss key where there was no notification area: the window
    // still counts as visible, and the second press brings it back, as from the tray.
    // A window the player has brought back by other means is the boss key's again.
    if (minimisedByBossKey && !IsIconic(hwnd)) minimisedByBossKey = false;
    if (hiddenByBossKey || minimisedByBossKey) {
        ComeBackFromBossKey();
        return 0;
    }
    if (!IsWindowVisible(hwnd)) return 0;
    wcsncpy(trayIconData.szTip, kTrayTip, 127);
    trayIconData.szTip[127] = 0;
    if (!Shell_NotifyIconW(NIM_ADD, &trayIconData)) {
        // No notification area to come back from: a hidden game would leave the
        // player nothing to click. Minimised, its task-bar button stays.
        ShowWindow(hwnd, SW_MINIMIZE);
        minimisedByBossKey = true;
        return 0;
    }
    ShowOwnedPopups(hwnd, FALSE);
    ShowWindow(hwnd, SW_HIDE);
    hiddenByBossKey = true;
    return 0;
}

LRESULT CFrameGame::HandleTrayNotify(WPARAM wParam, LPARAM lParam) {
    BASE_DCHECK_WINDOW_THREAD(hwnd);
    if (wParam != TRAY_ICON_ID) return 1;
    if (lParam == WM_LBUTTONDBLCLK) {
        ComeBackFromBossKey();
    } else if (lParam == WM_RBUTTONUP) {
        FillMenu(trayMenu, kTrayMenuEntries);
        POINT cursor = {0, 0};
        GetCursorPos(&cursor);
        RECT work = {0, 0, 0, 0};
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        POINT at = TrayMenuPosition(cursor, work, GetSystemMetrics(SM_CXSCREEN), VisibleRowsHeight(trayMenu));
        trayMenu.Popup(at.x, at.y);
    }
    return 0;
}

void CFrameGame::HandleTrayMenuClick(CImageItem* item) {
    BASE_DCHECK_WINDOW_THREAD(hwnd);
    int id = item ? item->id : 0;
    if (id == kIdTrayRestore) {
        ComeBackFromBossKey();
        CloseMenu(trayMenu);
    } else if (id == kIdTrayQuit) {
        RemoveTrayIcon();
        hiddenByBossKey = false;
        if (IsWindow(trayMenu.hwnd)) ShowWindow(trayMenu.hwnd, SW_HIDE);
        result = 1;
        modalRunning = false;
        DestroyWindow(hwnd);
    } else {
        CloseMenu(trayMenu);
    }
}
