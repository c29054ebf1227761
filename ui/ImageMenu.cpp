#include "ui/ImageMenu.h"

#include "base/ThreadCheck.h"

CImageMenu::CImageMenu()
    : companion(nullptr), anchor(nullptr), closeOnDeactivate(true), keepCompanions(false), shadow(nullptr) {
    SetClassName(L"ImageMenu");
}

CImageMenu::~CImageMenu() { DeleteShadow(shadow); }

void CImageMenu::Popup(int x, int y) {
    BASE_DCHECK_WINDOW_THREAD(hwnd);
    int height = 0;
    for (CImageItem* row : list.items)
        if (row->visible) height += row->height;
    if (!IsWindow(hwnd)) {
        if (!shadow) {
            shadow = new CShadowCtrl();
            shadow->UseLightColors();
        }
        if (!IsWindow(shadow->hwnd)) shadow->Create(0, nullptr, nullptr, WS_POPUP | WS_VISIBLE, x, y, 0, 0, nullptr);
        Create(0, nullptr, nullptr, WS_POPUP, x, y, kWidth, height, shadow->hwnd);
    }
    if (!IsWindow(hwnd)) return;
    RECT r = {x, y, x + kWidth, y + height};
    MoveTo(r);
    Show(SW_SHOW);
    SetForegroundWindow(hwnd);
}

void CImageMenu::OnCreate(CREATESTRUCTW*) {
    SetWindowLongW(hwnd, GWL_STYLE, GetWindowLongW(hwnd, GWL_STYLE) | WS_CLIPCHILDREN);
    SetWindowLongW(hwnd, GWL_EXSTYLE, (GetWindowLongW(hwnd, GWL_EXSTYLE) & ~WS_EX_APPWINDOW) | WS_EX_TOOLWINDOW);
    HWND top = shadow && IsWindow(shadow->hwnd) ? shadow->hwnd : hwnd;
    SetWindowPos(top, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    list.SetBackgroundColor(0xFFEDF3FA);
    keepCompanions = false;
}

void CImageMenu::OnMove(int, int) {
    if (!shadow) return;
    RECT r = {0, 0, 0, 0};
    GetWindowRect(hwnd, &r);
    shadow->GlueTo(r);
    shadow->Repaint(255);
}

void CImageMenu::OnShowWindow(BOOL show, int) {
    if (show) {
        SetForegroundWindow(hwnd);
    } else if (!keepCompanions) {
        if (companion && IsWindow(companion->hwnd)) companion->Show(SW_HIDE);
        if (anchor && IsWindow(anchor->hwnd)) anchor->Show(SW_HIDE);
    }
    if (shadow) shadow->Show(show ? SW_SHOW : SW_HIDE);
}

void CImageMenu::OnDestroy() {
    if (shadow) shadow->HideAndClose();
}

LRESULT CImageMenu::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    bool deactivated = (msg == WM_ACTIVATE && LOWORD(wParam) == WA_INACTIVE) || (msg == WM_NCACTIVATE && !wParam);
    if (deactivated && closeOnDeactivate && IsWindowVisible(hwnd)) {
        if (anchor && IsWindow(anchor->hwnd) && IsWindowVisible(anchor->hwnd)) {
            POINT cursor;
            RECT area;
            GetCursorPos(&cursor);
            anchor->GetRect(area);
            if (PtInRect(&area, cursor)) return 1;
        }
        Show(SW_HIDE);
    }
    return CImageCtrlEx::HandleMessage(msg, wParam, lParam);
}
