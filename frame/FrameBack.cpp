#include "frame/FrameBack.h"

#include "app/GameApp.h"
#include "base/ThreadCheck.h"
#include "frame/FrameLogic.h"
#include "frame/PortalAddress.h"
#include "resource_ids.h"
#include "ui/ImageCtrl.h"
#include "ui/ToolkitMath.h"

namespace {
const int kMinimiseId = 20;
const int kCloseId = 1002;
const int kGamePageId = 1003;
const int kForumId = 1004;
const int kServiceId = 1005;
const int kRechargeId = 1006;
const int kBackgroundId = 1007;

// The user name as the renderer reported it; copied under the application's
// lock because the engine thread may be storing a new one.
void CurrentUserName(wchar_t (&name)[64]) {
    name[0] = 0;
    if (gameApp* app = gameApp::Current()) app->CopyUserName(name, 64);
}
}  // namespace

CFrameBack::CFrameBack()
    : shadowSize(toolkit::kShadowSize),
      cornerRadius(toolkit::kShadowRadius),
      ownerFrame(nullptr),
      shadowMode(false) {
    SetClassName(L"velmar_back");
}

CFrameBack::~CFrameBack() { panel.Reset(); }

LRESULT CFrameBack::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        panel.owner = hwnd;
        panel.SetOnItemClick([this](CImageButton* b) { return OnItemClick(b); });
        panel.SetOnDrawOverlay([this](Gdiplus::Graphics& g) { DrawShadow(g); });
        SetWindowLongW(hwnd, GWL_STYLE, PanelWindowStyle(GetWindowLongW(hwnd, GWL_STYLE)));
    }
    // An owner stays below the windows it owns, but Wine raises the launcher
    // above its frame once it has been activated (a click on it, or the close
    // question it owns going away): the artwork would bury the page, which then
    // no longer takes the mouse. When the activation is through, the frame goes
    // back on top.
    if (msg == WM_ACTIVATE && LOWORD(wParam) != WA_INACTIVE) PostMessageW(hwnd, WM_BACK_FRAME_ON_TOP, 0, 0);
    if (msg == WM_BACK_FRAME_ON_TOP) {
        PutFrameOnTop();
        return 1;
    }
    return panel.HandleMessage(msg, wParam, lParam) ? 1 : 0;
}

void CFrameBack::PutFrameOnTop() {
    // An open close question stays in front.
    if (shadowMode || !ownerFrame || !IsWindow(ownerFrame->hwnd) || IsWindow(closeDialog.hwnd)) return;
    SetForegroundWindow(ownerFrame->hwnd);
}

void CFrameBack::OnCreate(CREATESTRUCTW*) {
    SetWindowLongW(hwnd, GWL_STYLE, GetWindowLongW(hwnd, GWL_STYLE) | WS_CLIPCHILDREN);
    // No task-bar button of its own: the frame carries it.
    SetWindowLongW(hwnd, GWL_EXSTYLE,
                   (GetWindowLongW(hwnd, GWL_EXSTYLE) & ~WS_EX_APPWINDOW) | WS_EX_TOOLWINDOW);
    panel.captionDrag = true;
    GetClientRect(hwnd, &panel.captionRect);

    pens.Create(kShadowColors);

    struct {
        int id, strip;
        RECT rect;
    } const buttons[] = {
        {kMinimiseId, IDB_LAUNCHER_MIN_STRIP, {1181, 7, 1197, 23}},
        {kCloseId, IDB_LAUNCHER_CLOSE_STRIP, {1207, 7, 1223, 23}},
        {kGamePageId, IDB_LAUNCHER_GAMEPAGE_STRIP, {736, 9, 816, 43}},
        {kRechargeId, IDB_LAUNCHER_RECHARGE_STRIP, {819, 9, 899, 43}},
        {kForumId, IDB_LAUNCHER_FORUM_STRIP, {902, 9, 982, 43}},
        {kServiceId, IDB_LAUNCHER_SERVICE_STRIP, {985, 9, 1065, 43}},
    };
    for (const auto& b : buttons) {
        if (CImageButton* button = panel.AddButton(b.id, 0, 0, 0, 0, b.rect)) button->SetImageStrip(b.strip);
    }
    RECT client;
    GetClientRect(hwnd, &client);
    panel.AddStatic(IDB_LAUNCHER_BACKGROUND, kBackgroundId, false, client);

    // Switching to layered drawing draws a shown panel, and one still hidden (as
    // while the window is made) draws as it shows; only a panel that was layered
    // already needs the pass here.
    const bool wasLayered = panel.layered;
    panel.EnableLayered();
    if (wasLayered) panel.UpdateLayered();
}

void CFrameBack::OnDestroy() { pens.Delete(); }

void CFrameBack::OnMove(int, int) {
    if (shadowMode || !ownerFrame || !IsWindow(ownerFrame->hwnd)) return;
    // The frame follows the launcher and keeps its own size: it was created
    // 620 pixels high and must not lose its bottom rows to a drag.
    RECT back, frame;
    GetWindowRect(hwnd, &back);
    GetWindowRect(ownerFrame->hwnd, &frame);
    MoveWindow(ownerFrame->hwnd, back.left, back.top + kFrameTopInLauncher, frame.right - frame.left,
               frame.bottom - frame.top, TRUE);
}

void CFrameBack::OnShowWindow(BOOL show, int) {
    // A layered panel has just drawn itself for this same showing (its own
    // WM_SHOWWINDOW handling runs first): a second, identical pass would cost as
    // much again (about 0.1 s for the full-screen shadow, on the way back from the tray).
    if (show && !panel.layered) panel.UpdateLayered();
}

void CFrameBack::EnterShadowMode() {
    BASE_DCHECK_WINDOW_THREAD(hwnd);
    shadowMode = true;
    panel.captionDrag = false;
    // A shadow is never activated and lets the mouse through (layered and
    // transparent): its inner outline lies under the frame's edge, and the
    // frame's title bar must take the clicks even where the two overlap.
    if (IsWindow(hwnd))
        SetWindowLongW(hwnd, GWL_EXSTYLE, GetWindowLongW(hwnd, GWL_EXSTYLE) | WS_EX_NOACTIVATE | WS_EX_TRANSPARENT);
    panel.RemoveStatic(kBackgroundId);
    const int ids[] = {kRechargeId, kGamePageId, kForumId, kServiceId, kCloseId, kMinimiseId};
    for (int id : ids) panel.RemoveButton(id);
}

void CFrameBack::DrawShadow(Gdiplus::Graphics& g) {
    if (!shadowMode) return;
    RECT client = {0, 0, 0, 0};
    GetClientRect(hwnd, &client);
    DrawShadowOutlines(g, client, shadowSize, cornerRadius, pens);
}

bool CFrameBack::OnItemClick(CImageButton* button) {
    if (!button) return true;
    wchar_t name[64];
    switch (button->id) {
    case kMinimiseId:
        if (ownerFrame && IsWindow(ownerFrame->hwnd)) ShowWindow(ownerFrame->hwnd, SW_MINIMIZE);
        ShowWindow(hwnd, SW_HIDE);
        return false;
    case kCloseId: {
        int answer = closeDialog.ShowModal(hwnd);
        if (answer == 1) {
            ShowWindow(hwnd, SW_HIDE);
            if (ownerFrame && IsWindow(ownerFrame->hwnd)) PostMessageW(ownerFrame->hwnd, WM_CLOSE, 0, 0);
            return false;
        }
        return true;
    }
    case kGamePageId:
        OpenAddress(portal::GamePage());
        return true;
    case kForumId:
        OpenAddress(portal::Forum());
        return true;
    case kServiceId:
        CurrentUserName(name);
        OpenAddress(portal::Service(name));
        return true;
    case kRechargeId:
        CurrentUserName(name);
        OpenAddress(portal::LauncherRecharge(name));
        return true;
    default:
        return true;
    }
}
