#include "frame/CloseMsgWnd.h"

#include "resource_ids.h"

namespace {
const int kDialogWidth = 295;
const int kDialogHeight = 190;
const int kConfirmId = 1001;
const int kCancelId = 1002;
const int kBackgroundId = 1011;
}  // namespace

CloseMsgWnd::CloseMsgWnd() { SetClassName(L"velmarcorvel"); }

int CloseMsgWnd::ShowModal(HWND parent) {
    if (hwnd && IsWindow(hwnd)) {
        // Already asking: bring the open question to the front instead.
        BringWindowToTop(hwnd);
        SetActiveWindow(hwnd);
        SetForegroundWindow(hwnd);
        return 0;
    }
    result = 2;
    if (GetSystemMetrics(SM_CXSCREEN) >= kDialogWidth && GetSystemMetrics(SM_CYSCREEN) >= kDialogHeight) {
        minWidth = kDialogWidth;
        minHeight = kDialogHeight;
    }
    RECT owner = {0, 0, 0, 0};
    if (parent) GetWindowRect(parent, &owner);
    int x = owner.left + (owner.right - owner.left - kDialogWidth) / 2;
    int y = owner.top + (owner.bottom - owner.top - kDialogHeight) / 2;
    if (!Create(0, L"velmarcorvel", nullptr, kSkinnedWindowStyle, x, y, kDialogWidth, kDialogHeight, parent))
        return result;
    RunModal();
    return result;
}

void CloseMsgWnd::OnCreate(CREATESTRUCTW* cs) {
    panel.EnableLayered();
    panel.captionDrag = true;
    panel.captionRect = {0, 0, kDialogWidth, kDialogHeight};
    ShowWindow(hwnd, SW_HIDE);
    MoveWindow(hwnd, (GetSystemMetrics(SM_CXSCREEN) - kDialogWidth) / 2,
               (GetSystemMetrics(SM_CYSCREEN) - kDialogHeight) / 2, kDialogWidth, kDialogHeight, TRUE);
    panel.AddButton(kConfirmId, IDB_CLOSEDLG_OK_NORMAL, IDB_CLOSEDLG_OK_HOVER, IDB_CLOSEDLG_OK_HOVER,
                    IDB_CLOSEDLG_OK_NORMAL, RECT{50, 100, 118, 135});
    panel.AddButton(kCancelId, IDB_CLOSEDLG_CANCEL_NORMAL, IDB_CLOSEDLG_CANCEL_HOVER, IDB_CLOSEDLG_CANCEL_HOVER,
                    IDB_CLOSEDLG_CANCEL_NORMAL, RECT{178, 100, 246, 135});
    panel.AddStatic(IDB_CLOSEDLG_BACKGROUND, kBackgroundId, false, RECT{0, 0, kDialogWidth, kDialogHeight});
}

bool CloseMsgWnd::OnItemClick(CImageButton* button) {
    if (!button) return true;
    if (button->id != kConfirmId && button->id != kCancelId) return true;
    result = button->id == kConfirmId ? 1 : 2;
    modalRunning = false;
    DestroyWindow(hwnd);
    return false;
}
