#include "ui/ImageCtrl.h"

#include "ui/ToolkitMath.h"

CImageCtrl::CImageCtrl()
    : iconCopy(nullptr),
      minWidth(0),
      minHeight(0),
      fixedWidth(0),
      fixedHeight(0),
      resizable(false),
      borderHeight(3),
      borderWidth(3),
      cutCorners(false),
      shadow(nullptr) {
    SetClassName(L"ImageCtrl");
}

CImageCtrl::~CImageCtrl() {
    DeleteShadow(shadow);
    panel.Reset();
    if (iconCopy) DestroyIcon(iconCopy);
    iconCopy = nullptr;
}

bool CImageCtrl::OnItemPressed(CImageButton*) { return true; }
bool CImageCtrl::OnItemClick(CImageButton*) { return true; }
bool CImageCtrl::OnItemHover(CImageButton*) { return true; }
bool CImageCtrl::OnItemRightPressed(CImageButton*) { return true; }
bool CImageCtrl::OnItemRightClick(CImageButton*) { return true; }
void CImageCtrl::OnDrawBackground(Gdiplus::Graphics&) {}
void CImageCtrl::OnDrawOverlay(Gdiplus::Graphics&) {}

void CImageCtrl::SetIcon(HICON icon, bool big) {
    // The window only ever holds the control's current copy, which the control
    // destroys; the caller may free `icon` afterwards. A big icon set first
    // makes the copy too.
    HICON replaced = nullptr;
    if (!big || !iconCopy) {
        replaced = iconCopy;
        iconCopy = icon ? CopyIcon(icon) : nullptr;
    }
    const WPARAM slot = big ? ICON_BIG : ICON_SMALL, otherSlot = big ? ICON_SMALL : ICON_BIG;
    HICON previous = (HICON)SendMessageW(hwnd, WM_SETICON, slot, (LPARAM)iconCopy);
    if (replaced && (HICON)SendMessageW(hwnd, WM_GETICON, otherSlot, 0) == replaced)
        SendMessageW(hwnd, WM_SETICON, otherSlot, (LPARAM)iconCopy);
    if (previous && previous != iconCopy && previous != replaced) DestroyIcon(previous);
    if (replaced) DestroyIcon(replaced);
}

void CImageCtrl::GlueShadow() {
    if (!shadow) return;
    RECT r = {0, 0, 0, 0};
    GetWindowRect(hwnd, &r);
    shadow->GlueTo(r);
}

LRESULT CImageCtrl::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_NCCREATE: BindPanel(); break;
    case WM_NCHITTEST: return HitTestBorders(lParam);
    case WM_GETMINMAXINFO: LimitMaximisedArea(reinterpret_cast<MINMAXINFO*>(lParam)); break;
    case WM_WINDOWPOSCHANGING: KeepSizeLimits(reinterpret_cast<WINDOWPOS*>(lParam)); break;
    case WM_SIZE: ShapeToSize((short)LOWORD(lParam), (short)HIWORD(lParam)); break;
    case WM_MOVE: GlueShadow(); break;
    case WM_DESTROY:
        if (shadow) shadow->HideAndClose();
        break;
    default: break;
    }
    return panel.HandleMessage(msg, wParam, lParam) ? 1 : 0;
}

void CImageCtrl::BindPanel() {
    panel.owner = hwnd;
    panel.SetOnItemPressed([this](CImageButton* b) { return OnItemPressed(b); });
    panel.SetOnItemClick([this](CImageButton* b) { return OnItemClick(b); });
    panel.SetOnItemHover([this](CImageButton* b) { return OnItemHover(b); });
    panel.SetOnItemRightPressed([this](CImageButton* b) { return OnItemRightPressed(b); });
    panel.SetOnItemRightClick([this](CImageButton* b) { return OnItemRightClick(b); });
    panel.SetOnDrawBackground([this](Gdiplus::Graphics& g) { OnDrawBackground(g); });
    panel.SetOnDrawOverlay([this](Gdiplus::Graphics& g) { OnDrawOverlay(g); });
    SetWindowLongW(hwnd, GWL_STYLE, PanelWindowStyle(GetWindowLongW(hwnd, GWL_STYLE)));
}

LRESULT CImageCtrl::HitTestBorders(LPARAM screenPoint) {
    if (!resizable) return HTCLIENT;
    POINT pt = {(short)LOWORD(screenPoint), (short)HIWORD(screenPoint)};
    ScreenToClient(hwnd, &pt);
    RECT client;
    GetClientRect(hwnd, &client);
    return toolkit::BorderHitTest(pt.x, pt.y, client.right, client.bottom, borderWidth, borderHeight);
}

void CImageCtrl::LimitMaximisedArea(MINMAXINFO* info) {
    // Maximised on the primary monitor, the window takes its work area, not the
    // whole screen: the task bar stays visible.
    MONITORINFO mi;
    mi.cbSize = sizeof(mi);
    HMONITOR monitor = MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST);
    if (monitor && GetMonitorInfoW(monitor, &mi) && (mi.dwFlags & MONITORINFOF_PRIMARY)) {
        info->ptMaxSize.x = mi.rcWork.right - mi.rcWork.left;
        info->ptMaxSize.y = mi.rcWork.bottom - mi.rcWork.top;
        info->ptMaxPosition.x = mi.rcWork.left;
        info->ptMaxPosition.y = mi.rcWork.top;
    }
    info->ptMinTrackSize.x = minWidth;
    info->ptMinTrackSize.y = minHeight;
}

void CImageCtrl::KeepSizeLimits(WINDOWPOS* pos) {
    if (fixedWidth && fixedHeight) {
        pos->cx = fixedWidth;
        pos->cy = fixedHeight;
    }
    if (minWidth && minHeight) {
        if (pos->cx < minWidth) pos->cx = minWidth;
        if (pos->cy < minHeight) pos->cy = minHeight;
    }
}

void CImageCtrl::ShapeToSize(int width, int height) {
    if (cutCorners) {
        HRGN region;
        if (IsZoomed(hwnd)) {
            region = CreateRectRgn(0, 0, width, height);
        } else {
            POINT pts[8];
            toolkit::CutCornerPolygon(width, height, pts);
            region = CreatePolygonRgn(pts, 8, WINDING);
        }
        // The window owns the region from here on.
        if (region && !SetWindowRgn(hwnd, region, TRUE)) DeleteObject(region);
    }
    if (shadow) {
        GlueShadow();
        shadow->Repaint(255);
    }
}

void CImageCtrl::OnShowWindow(BOOL show, int) {
    if (!shadow) return;
    if (show) {
        shadow->Show(SW_SHOW);
    } else {
        shadow->Show(SW_HIDE);
        HWND parent = GetParent(shadow->hwnd);
        if (parent) SetForegroundWindow(parent);
    }
}
