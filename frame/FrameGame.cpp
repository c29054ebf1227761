#include "frame/FrameGame.h"

#include <cwchar>
#include "app/GameApp.h"
#include "base/Diagnostics.h"
#include "base/ThreadCheck.h"
#include "frame/FrameLogic.h"
#include "frame/PortalAddress.h"
#include "resource_ids.h"
#include "ui/ImageRes.h"
#include "ui/ToolkitMath.h"

namespace {
const wchar_t kGameTitle[] = L"Vornmark";

RECT WorkArea() {
    RECT work = {0, 0, 0, 0};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    return work;
}

bool ScreenAtLeast(int width, int height) {
    return GetSystemMetrics(SM_CXSCREEN) >= width && GetSystemMetrics(SM_CYSCREEN) >= height;
}
}  // namespace

CFrameGame::CFrameGame()
    : titleFont(nullptr),
      titleBrush(nullptr),
      fullScreen(false),
      savedWindowRect{0, 0, 0, 0},
      inGameLayout(false),
      hiddenByBossKey(false),
      minimisedByBossKey(false),
      engineGate(std::make_shared<CEngineGate>()),
      frameWindow(nullptr),
      tipButtonId(0) {
    memset(pageTitle, 0, sizeof(pageTitle));
    memset(serverId, 0, sizeof(serverId));
    memset(&trayIconData, 0, sizeof(trayIconData));
    SetClassName(L"velmarcorve");
}

CFrameGame::~CFrameGame() {
    // The window may never have existed; the handlers must stop all the same
    // before the members they use go away.
    engineGate->Close();
    delete titleFont;
    delete titleBrush;
    titleFont = nullptr;
    titleBrush = nullptr;
}

void CFrameGame::CreateAndRun() {
    if (!CreateWindows()) return;
    base::StartupStep(L"frame made");
    RunModal();
}

bool CFrameGame::CreateWindows() {
    RECT launcher = CentredInWorkArea(WorkArea(), kLauncherWidth, kLauncherHeight);
    backWindow.Create(0, nullptr, nullptr, WS_POPUP | WS_VISIBLE, launcher.left, launcher.top, kLauncherWidth,
                      kLauncherHeight, nullptr);
    if (ScreenAtLeast(kStartFrameWidth, kStartFrameHeight)) {
        minWidth = kStartFrameWidth;
        minHeight = kStartFrameHeight;
    }
    if (!Create(WS_EX_APPWINDOW, L"velmarcorve", nullptr, kSkinnedWindowStyle, launcher.left,
                launcher.top + kFrameTopInLauncher, kStartFrameWidth, kStartFrameHeight, backWindow.hwnd))
        return false;
    backWindow.ownerFrame = this;
    return true;
}

void CFrameGame::OnCreate(CREATESTRUCTW*) {
    frameWindow = hwnd;
    taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
    delete titleFont;
    delete titleBrush;
    titleFont = CreateToolkitFont(L"Tahoma", 9.0f);
    titleBrush = new Gdiplus::SolidBrush(Gdiplus::Color(0xFFFFFFFF));
    SetWindowIcons();
    SetWindowTextW(hwnd, kGameTitle);

    RECT client;
    GetClientRect(hwnd, &client);
    browserHost.Create(0, nullptr, L"", WS_CHILD | WS_VISIBLE, client, hwnd);
    BindBrowserHandlers();
    PrepareMenus();

    memset(&trayIconData, 0, sizeof(trayIconData));
    trayIconData.cbSize = sizeof(NOTIFYICONDATAW);
    trayIconData.hWnd = hwnd;
    trayIconData.uID = TRAY_ICON_ID;
    trayIconData.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    trayIconData.uCallbackMessage = WM_TRAY_NOTIFY;
    trayIconData.hIcon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_MAIN));
}

void CFrameGame::SetWindowIcons() {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(IDI_MAIN), RT_GROUP_ICON);
    HGLOBAL groupData = group ? LoadResource(module, group) : nullptr;
    BYTE* groupBits = groupData ? (BYTE*)LockResource(groupData) : nullptr;
    if (!groupBits) return;
    int iconId = LookupIconIdFromDirectoryEx(groupBits, TRUE, 48, 48, 0);
    HRSRC entry = iconId ? FindResourceW(module, MAKEINTRESOURCEW(iconId), RT_ICON) : nullptr;
    HGLOBAL entryData = entry ? LoadResource(module, entry) : nullptr;
    BYTE* bits = entryData ? (BYTE*)LockResource(entryData) : nullptr;
    if (!bits) return;
    HICON icon = CreateIconFromResourceEx(bits, SizeofResource(module, entry), TRUE, 0x30000, 48, 48, 0);
    if (!icon) return;
    // The control keeps its own copy for both slots; ours can go at once.
    SetIcon(icon, false);
    SetIcon(icon, true);
    DestroyIcon(icon);
}

void CFrameGame::EnterGameLayout() {
    BASE_DCHECK_WINDOW_THREAD(hwnd);
    inGameLayout = true;
    backWindow.EnterShadowMode();
    browserHost.exactFit = 1;
    HideTip();
    ShowWindow(hwnd, SW_HIDE);

    panel.captionDrag = true;
    panel.fillBackground = true;
    panel.SetBackgroundColor(0x0023373C);
    cutCorners = true;
    resizable = true;
    AddTitleBarItems();

    toolTip.Create(0, L"ToolTip", nullptr, WS_POPUP | WS_CLIPCHILDREN, 0, 0, 0, 0, hwnd);
    RegisterBossKey();
    HookPageKeys();

    if (GetSystemMetrics(SM_CXSCREEN) > kGameMinWidth - 1 && GetSystemMetrics(SM_CYSCREEN) > kGameMinHeight - 1) {
        minWidth = kGameMinWidth;
        minHeight = kGameMinHeight;
    }
    RECT place = CentredInWorkArea(WorkArea(), minWidth, minHeight);
    MoveWindow(hwnd, place.left, place.top, minWidth, minHeight, TRUE);
    SetTimer(hwnd, TIMER_SHOW_MAXIMIZED, 500, nullptr);
}

void CFrameGame::AddTitleBarItems() {
    RECT client;
    GetClientRect(hwnd, &client);
    for (int i = 0; i < kTitleItemCount; ++i) {
        const TitleItem& item = kTitleItems[i];
        RECT rect = TitleItemRect(item, client.right, client.top);
        if (item.kind == kTitleStatic) {
            CImageStatic* s = panel.AddStatic(item.images[0], item.id, item.id == kIdTitleBackground, rect);
            if (s && item.anchor != -1) {
                // The bar stretches: right edge with the client's, left edge fixed.
                s->rightMargin = item.anchor;
                s->fixedLeft = rect.left;
            }
            continue;
        }
        CImageButton* b;
        if (item.kind == kTitleStrip) {
            b = panel.AddButton(item.id, 0, 0, 0, 0, rect);
            if (b) b->SetImageStrip(item.images[0]);
        } else {
            b = panel.AddButton(item.id, item.images[0], item.images[1], item.images[2], item.images[0], rect);
        }
        if (!b) continue;
        b->rightMargin = item.anchor;
        b->visible = item.visible;
        if (item.text) {
            wcsncpy(b->text, item.text, 255);
            b->text[255] = 0;
            b->showText = false;
        }
    }
}

void CFrameGame::ToggleFullScreen() {
    BASE_DCHECK_WINDOW_THREAD(hwnd);
    if (!IsWindowVisible(hwnd)) return;
    fullScreen = !fullScreen;
    panel.captionDrag = !fullScreen;
    if (fullScreen) {
        HideTip();
        SetForegroundWindow(hwnd);
        SwitchToThisWindow(hwnd, TRUE);
        SetFocus(browserHost.hwnd);
        GetWindowRect(hwnd, &savedWindowRect);
        SetWindowPos(hwnd, HWND_TOPMOST, 0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                     SWP_SHOWWINDOW);
        RECT client;
        GetClientRect(hwnd, &client);
        MoveWindow(browserHost.hwnd, client.left, client.top, client.right - client.left, client.bottom - client.top,
                   TRUE);
        backWindow.Show(SW_HIDE);
    } else {
        SetWindowPos(hwnd, HWND_NOTOPMOST, savedWindowRect.left, savedWindowRect.top,
                     savedWindowRect.right - savedWindowRect.left, savedWindowRect.bottom - savedWindowRect.top,
                     SWP_SHOWWINDOW);
        // A frame maximised over the whole screen (no task bar) gets its size back
        // unchanged and so no resize: the page must still give the title bar its rows.
        OnSize(0, 0, 0);
        InvalidateRect(hwnd, nullptr, FALSE);
        ShowBackWindow();
    }
}

LRESULT CFrameGame::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_HOTKEY:
        HandleBossKey(wParam);
        break;
    case WM_SYSCOMMAND:
        // F10 or a lone Alt, in the page as much as here: the frame has no menu bar,
        // and the keyboard menu mode would swallow the next keys (Esc among them).
        // Handled here (nonzero), so the default processing never starts it.
        // Alt+Space still opens the window menu.
        if ((wParam & 0xFFF0) == SC_KEYMENU && lParam == 0) return 1;
        if (!inGameLayout) {
            // The low four bits of the command are the system's own.
            if ((wParam & 0xFFF0) == SC_MINIMIZE) backWindow.Show(SW_HIDE);
            else if ((wParam & 0xFFF0) == SC_RESTORE) ShowBackWindow();
        }
        break;
    case WM_FRAME_COMMAND:
        switch (wParam) {
        case FRAME_CMD_ENTER_GAME: EnterGameLayout(); break;
        case FRAME_CMD_DESTROY: DestroyWindow(hwnd); break;
        case FRAME_CMD_TOGGLE_FULLSCREEN: ToggleFullScreen(); break;
        case FRAME_CMD_LEAVE_FULLSCREEN:
            if (fullScreen) ToggleFullScreen();
            break;
        default: break;
        }
        break;
    case WM_FRAME_ARM_FALLBACK:
        SetTimer(hwnd, TIMER_LOGIN_FALLBACK, 1500, nullptr);
        return 1;
    case WM_FRAME_TITLE_CHANGED: {
        // Cleared before the title is read (see titlePosted).
        titlePosted = false;
        wchar_t title[260];
        CopyPageTitle(title, 260);
        // Only the text's own rectangle, and only when it changes.
        if (wcscmp(title, shownTitle) == 0) return 1;
        wcscpy(shownTitle, title);
        if (inGameLayout) InvalidateRect(hwnd, &kTitleTextRect, FALSE);
        return 1;
    }
    case WM_TRAY_NOTIFY:
        if (HandleTrayNotify(wParam, lParam)) return 1;
        break;
    case WM_MOUSEMOVE:
        if (tipButtonId) {
            // The tip belongs to the button under the mouse; leaving it ends the tip.
            CImageButton* b = panel.FindButton(tipButtonId);
            POINT p = {(short)LOWORD(lParam), (short)HIWORD(lParam)};
            if (!b || !b->visible || !PtInRect(&b->rect, p)) HideTip();
        }
        break;
    case WM_MOUSELEAVE:
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
        HideTip();
        break;
    default:
        // The shell lost its icons (it was restarted): a hidden game needs its icon back.
        if (msg == taskbarCreatedMessage && taskbarCreatedMessage && hiddenByBossKey)
            Shell_NotifyIconW(NIM_ADD, &trayIconData);
        break;
    }
    return CImageDialog::HandleMessage(msg, wParam, lParam);
}

void CFrameGame::OnTimer(UINT_PTR id) {
    if (id == TIMER_LOGIN_FALLBACK) {
        if (!inGameLayout) PostMessageW(hwnd, WM_FRAME_COMMAND, FRAME_CMD_ENTER_GAME, 0);
        KillTimer(hwnd, TIMER_LOGIN_FALLBACK);
    } else if (id == TIMER_SHOW_MAXIMIZED) {
        ShowWindow(hwnd, SW_SHOWMAXIMIZED);
        // Showing maximised sends no WM_SHOWWINDOW, so the shadow is shown here.
        if (IsWindowVisible(hwnd)) ShowBackWindow();
        SetForegroundWindow(hwnd);
        KillTimer(hwnd, TIMER_SHOW_MAXIMIZED);
    }
}

void CFrameGame::OnMove(int, int) {
    if (!inGameLayout) return;
    PlaceShadow();
}

void CFrameGame::PlaceShadow() {
    BASE_DCHECK_WINDOW_THREAD(hwnd);
    RECT r;
    GetWindowRect(hwnd, &r);
    if (r.right - r.left == 0 || !IsWindow(backWindow.hwnd)) return;
    RECT s = toolkit::ShadowRectAround(r, backWindow.shadowSize);
    // Around the frame and right below it in the z-order.
    SetWindowPos(backWindow.hwnd, hwnd, s.left, s.top, s.right - s.left, s.bottom - s.top, SWP_NOACTIVATE);
}

void CFrameGame::OnSize(UINT, int, int) {
    RECT client;
    GetClientRect(hwnd, &client);
    if (!inGameLayout) {
        browserHost.MoveTo(client);
        return;
    }
    browserHost.MoveTo(GameHostRect(client, IsZoomed(hwnd) != FALSE));
    PlaceShadow();
    backWindow.panel.UpdateLayered();
}

void CFrameGame::OnShowWindow(BOOL show, int status) {
    CImageDialog::OnShowWindow(show, status);
    if (!show) HideTip();
    if (show) ShowBackWindow();
    else backWindow.Show(SW_HIDE);
}

void CFrameGame::ShowBackWindow() {
    BASE_DCHECK_WINDOW_THREAD(hwnd);
    if (!IsWindow(backWindow.hwnd)) return;
    // Shown without activation and kept right below the frame: the frame is
    // owned by it and must stay on top, where its title bar takes the clicks.
    // One already shown (the launcher, as the frame first shows) is left as it is:
    // showing it again would only draw it again.
    if (!IsWindowVisible(backWindow.hwnd)) ShowWindow(backWindow.hwnd, SW_SHOWNA);
    if (IsWindow(hwnd))
        SetWindowPos(backWindow.hwnd, hwnd, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void CFrameGame::OnDestroy() {
    // From here on the engine's handlers leave the frame alone.
    engineGate->Close();
    frameWindow = nullptr;
    KillTimer(hwnd, TIMER_LOGIN_FALLBACK);
    KillTimer(hwnd, TIMER_SHOW_MAXIMIZED);
    HideTip();
    UnregisterHotKey(hwnd, HOTKEY_BOSS);
    UnhookPageKeys();
    if (hiddenByBossKey) RemoveTrayIcon();
    hiddenByBossKey = false;
    delete titleFont;
    delete titleBrush;
    titleFont = nullptr;
    titleBrush = nullptr;
    // The shadow goes from the screen with the frame; its close is posted and may
    // only be handled after the exit's report and the engine's shutdown.
    if (backWindow.hwnd) {
        ShowWindow(backWindow.hwnd, SW_HIDE);
        PostMessageW(backWindow.hwnd, WM_CLOSE, 0, 0);
    }
}

bool CFrameGame::OnItemClick(CImageButton* button) {
    if (!button) return true;
    switch (button->id) {
    case kIdClose:
        HideTip();
        if (closeDialog.ShowModal(hwnd) == 1) DestroyWindow(hwnd);
        return false;
    case kIdTools:
        HideTip();
        return OpenSystemMenu();
    case kIdFullScreen:
        PostMessageW(hwnd, WM_FRAME_COMMAND, FRAME_CMD_TOGGLE_FULLSCREEN, 0);
        return true;
    case kIdService:
    case kIdForum:
    case kIdGamePage:
    case kIdRecharge:
    case kIdAntiAddiction:
        OpenPortalButton(button->id);
        return true;
    default:
        return true;
    }
}

void CFrameGame::OpenPortalButton(int id) {
    BASE_DCHECK_WINDOW_THREAD(hwnd);
    wchar_t name[64] = {0};
    if (gameApp* app = gameApp::Current()) app->CopyUserName(name, 64);
    switch (id) {
    case kIdService: OpenAddress(portal::Service(name)); break;
    case kIdForum: OpenAddress(portal::Forum()); break;
    case kIdGamePage: OpenAddress(portal::GamePage()); break;
    case kIdRecharge: {
        wchar_t server[64];
        CopyServerId(server, 64);
        OpenAddress(portal::GameRecharge(name, server));
        break;
    }
    case kIdAntiAddiction: OpenAddress(portal::AntiAddiction()); break;
    default: break;
    }
}

bool CFrameGame::OnItemHover(CImageButton* button) {
    HideTip();
    if (!button || !button->text[0] || !IsWindow(toolTip.hwnd)) return true;
    tipButtonId = button->id;
    wcsncpy(toolTip.text, button->text, 259);
    toolTip.text[259] = 0;
    SetTimer(toolTip.hwnd, CImageTipCtrl::kTimerId, kTipDelayMs, nullptr);
    return true;
}

void CFrameGame::HideTip() {
    BASE_DCHECK_WINDOW_THREAD(hwnd);
    tipButtonId = 0;
    if (!IsWindow(toolTip.hwnd)) return;
    KillTimer(toolTip.hwnd, CImageTipCtrl::kTimerId);
    if (IsWindowVisible(toolTip.hwnd)) ShowWindow(toolTip.hwnd, SW_HIDE);
}

void CFrameGame::OnDrawOverlay(Gdiplus::Graphics& g) {
    if (!inGameLayout || !titleFont || !titleBrush) return;
    const wchar_t* title = shownTitle;
    if (!title[0]) return;
    Gdiplus::StringFormat format;
    format.SetAlignment(Gdiplus::StringAlignmentNear);
    format.SetLineAlignment(Gdiplus::StringAlignmentCenter);
    format.SetTrimming(Gdiplus::StringTrimmingEllipsisWord);
    Gdiplus::RectF layout((Gdiplus::REAL)kTitleTextRect.left, (Gdiplus::REAL)kTitleTextRect.top,
                          (Gdiplus::REAL)(kTitleTextRect.right - kTitleTextRect.left),
                          (Gdiplus::REAL)(kTitleTextRect.bottom - kTitleTextRect.top));
    g.DrawString(title, -1, titleFont, layout, &format, titleBrush);
}

void CFrameGame::CopyPageTitle(wchar_t* out, size_t units) {
    if (!out || !units) return;
    std::lock_guard<std::mutex> guard(textLock);
    wcsncpy(out, pageTitle, units - 1);
    out[units - 1] = 0;
}

void CFrameGame::CopyServerId(wchar_t* out, size_t units) {
    if (!out || !units) return;
    std::lock_guard<std::mutex> guard(textLock);
    wcsncpy(out, serverId, units - 1);
    out[units - 1] = 0;
}
