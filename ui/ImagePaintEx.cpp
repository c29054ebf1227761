#include "ui/ImagePaintEx.h"

#include "base/ThreadCheck.h"
#include "ui/TickSource.h"
#include "ui/ToolkitMath.h"

using namespace Gdiplus;

CImagePaintEx::CImagePaintEx()
    : updateLayeredWindow(nullptr),
      defaultItemHeight(24),
      hoverItem(nullptr),
      selectedItem(nullptr),
      backgroundBrush(nullptr),
      hoverBrush(nullptr),
      selectedBrush(nullptr),
      backgroundColor(0xFFFAFAFA),
      fillBackground(true),
      hoverColor(0),
      selectedColor(0),
      lastClickTime(0),
      lastClientRect{0, 0, 0, 0},
      owner(nullptr),
      layered(false),
      alpha(255) {}

CImagePaintEx::~CImagePaintEx() { Reset(); }

CImageItem* CImagePaintEx::AddItem(int id) {
    BASE_DCHECK_WINDOW_THREAD(owner);
    for (CImageItem* row : items)
        if (row->id == id) return row;
    CImageItem* row = new CImageItem(this, id, defaultItemHeight);
    items.push_back(row);
    Relayout(nullptr);
    return row;
}

void CImagePaintEx::Clear() {
    BASE_DCHECK_WINDOW_THREAD(owner);
    for (CImageItem* row : items) delete row;
    items.clear();
    Relayout(nullptr);
    selectedItem = nullptr;
    hoverItem = nullptr;
}

RECT CImagePaintEx::GetItemRect(int id) {
    RECT client = {0, 0, 0, 0};
    if (owner) GetClientRect(owner, &client);
    int y = 0;
    for (CImageItem* row : items) {
        if (!row->visible) continue;
        if (row->id == id) return RECT{0, y, client.right, y + row->height};
        y += row->height;
    }
    return RECT{0, 0, client.right, 0};
}

void CImagePaintEx::SetBackgroundColor(ARGB color) {
    backgroundColor = color;
    delete backgroundBrush;
    fillBackground = true;
    backgroundBrush = new SolidBrush(Color(color));
}

void CImagePaintEx::SetHoverColor(ARGB color) {
    hoverColor = color;
    delete hoverBrush;
    hoverBrush = new SolidBrush(Color(color));
}

void CImagePaintEx::Relayout(const RECT* area) {
    RECT bounds = {0, 0, 0, 0};
    if (area) bounds = *area;
    else if (owner) GetClientRect(owner, &bounds);
    int y = 0;
    for (CImageItem* row : items) {
        if (!row->visible) continue;
        RECT r = {0, y, bounds.right, y + row->height};
        if (!EqualRect(&r, &row->rect)) {
            row->OnRowRect(r.left, r.top, r.right, r.bottom);
            row->rect = r;
        }
        y += row->height;
    }
}

bool CImagePaintEx::IsRowVisible(int top, int height) {
    HWND parent = owner ? GetParent(owner) : nullptr;
    if (!parent) return true;
    POINT origin = {0, 0};
    MapWindowPoints(owner, parent, &origin, 1);
    RECT parentClient = {0, 0, 0, 0};
    GetClientRect(parent, &parentClient);
    return toolkit::RowVisibleInParent(top + origin.y, height, parentClient.bottom);
}

CImageItem* CImagePaintEx::RowAt(int x, int y) {
    RECT client = {0, 0, 0, 0};
    if (owner) GetClientRect(owner, &client);
    POINT pt = {x, y};
    int top = 0;
    for (CImageItem* row : items) {
        if (!row->visible) continue;
        RECT r = {0, top, client.right, top + row->height};
        bool shown = IsRowVisible(top, row->height);
        top += row->height;
        if (shown && PtInRect(&r, pt)) return row;
    }
    return nullptr;
}

void CImagePaintEx::DrawRows(Graphics& g) {
    RECT client = {0, 0, 0, 0};
    GetClientRect(owner, &client);
    if (fillBackground && backgroundBrush)
        g.FillRectangle(backgroundBrush, Rect(client.left - 1, client.top - 1, client.right - client.left + 1,
                                              client.bottom - client.top + 1));
    int y = 0;
    for (CImageItem* row : items) {
        if (!row->visible) continue;
        if (IsRowVisible(y, row->height)) row->Draw(g, 0, y, client.right, y + row->height);
        y += row->height;
    }
}

void CImagePaintEx::RepaintAll() {
    BASE_DCHECK_WINDOW_THREAD(owner);
    if (!IsWindow(owner)) return;
    if (layered) {
        if (updateLayeredWindow) LayeredUpdate(owner, updateLayeredWindow, [this](Graphics& g) { DrawRows(g); }, alpha);
        else if (onLayeredUnavailable) onLayeredUnavailable();
    } else {
        InvalidateRect(owner, nullptr, TRUE);
    }
}

void CImagePaintEx::RepaintRow(CImageItem* row) {
    if (!row || !IsWindow(owner)) return;
    if (layered) {
        RepaintAll();
    } else {
        RECT r = GetItemRect(row->id);
        InvalidateRect(owner, &r, TRUE);
    }
}

void CImagePaintEx::Paint() {
    if (!owner) return;
    RECT update = {0, 0, 0, 0};
    GetUpdateRect(owner, &update, FALSE);
    if (update.right - update.left == 0 || update.bottom - update.top == 0) return;
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(owner, &ps);
    if (dc) {
        RECT client;
        GetClientRect(owner, &client);
        CSanDC buffer(dc, client);
        SetBkMode(buffer.memoryDC, TRANSPARENT);
        Graphics g(buffer.memoryDC);  // gone before the buffer is copied back
        g.SetSmoothingMode(SmoothingModeHighQuality);
        DrawRows(g);
    }
    EndPaint(owner, &ps);
}

void CImagePaintEx::Reset() {
    Clear();
    delete backgroundBrush;
    delete hoverBrush;
    delete selectedBrush;
    backgroundBrush = hoverBrush = selectedBrush = nullptr;
    EndTracking();
    hoverItem = selectedItem = nullptr;
    owner = nullptr;
    layered = false;
}

bool CImagePaintEx::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    const POINT pt = {(short)LOWORD(lParam), (short)HIWORD(lParam)};
    switch (msg) {
    case WM_NCCREATE: OnCreate(); return false;
    case WM_DESTROY: Reset(); return false;
    case WM_SIZE: OnSize(pt.x, pt.y); return false;
    case WM_PAINT: Paint(); return false;
    case WM_ERASEBKGND: return OnEraseBackground();
    case WM_SHOWWINDOW: OnShowWindow(wParam != FALSE); return false;
    case WM_MOUSEMOVE: OnMouseMove(pt); return false;
    case WM_LBUTTONUP: OnLeftButtonUp(pt); return false;
    case WM_MOUSELEAVE: OnMouseLeave(); return false;
    default: return false;
    }
}

void CImagePaintEx::OnCreate() {
    if (!backgroundBrush && (backgroundColor >> 24)) backgroundBrush = new SolidBrush(Color(backgroundColor));
    if (!hoverBrush && (hoverColor >> 24)) hoverBrush = new SolidBrush(Color(hoverColor));
    if (!selectedBrush && (selectedColor >> 24)) selectedBrush = new SolidBrush(Color(selectedColor));
}

void CImagePaintEx::OnSize(int cx, int cy) {
    RECT area = {0, 0, cx, cy};
    if (onResize) onResize(&area);
    Relayout(&area);
}

bool CImagePaintEx::OnEraseBackground() {
    RECT client = {0, 0, 0, 0};
    GetClientRect(owner, &client);
    if (!EqualRect(&client, &lastClientRect)) {
        Paint();
        lastClientRect = client;
    }
    return true;
}

void CImagePaintEx::OnShowWindow(bool shown) {
    if (shown) return;
    ForgetMouse();
    for (CImageItem* row : items) {
        row->hovered = false;
        row->selected = false;
        row->hotButton = nullptr;
    }
    // The row under the mouse is highlighted afresh after showing again;
    // the selection pointer stays so a further click is timed against it.
    hoverItem = nullptr;
}

bool CImagePaintEx::FollowHoveredRow(POINT pt) {
    RECT r = GetItemRect(hoverItem->id);
    if (!hoverItem->visible || !IsRowVisible(r.top, r.bottom - r.top)) return false;
    if (!PtInRect(&r, pt)) {
        RepaintRow(hoverItem);
        hoverItem->hovered = false;
        hoverItem->hotButton = nullptr;
        hoverItem->ResetMouse();
        hoverItem = nullptr;
    } else if (hoverItem->OnMouseMove(pt.x, pt.y)) {
        RepaintRow(hoverItem);
    }
    return true;
}

void CImagePaintEx::OnMouseMove(POINT pt) {
    FollowMouse(owner, pt.x, pt.y);
    if (hoverItem && FollowHoveredRow(pt)) return;
    CImageItem* row = RowAt(pt.x, pt.y);
    if (!row || row == hoverItem) return;
    if (hoverItem) hoverItem->hovered = false;
    hoverItem = row;
    row->hovered = true;
    row->OnMouseMove(pt.x, pt.y);
    RepaintRow(row);
    row->OnHoverEnter();
}

void CImagePaintEx::OnLeftButtonUp(POINT pt) {
    MouseAt(pt.x, pt.y);
    SetFocus(owner);
    CImageItem* row = RowAt(pt.x, pt.y);
    if (!row) return;
    DWORD now = toolkit::TickCount();
    row->OnMouseMove(pt.x, pt.y);
    if (selectedItem) selectedItem->selected = false;
    row->selected = true;
    DWORD previous = lastClickTime;
    lastClickTime = now;
    if (row == selectedItem) {
        if (toolkit::IsDoubleClick(true, now, previous)) {
            if (onItemDoubleClick) onItemDoubleClick(row);
        } else if (onItemClick) {
            onItemClick(row);
        }
        return;
    }
    selectedItem = row;
    if (onItemClick) onItemClick(row);
    // The callback may have hidden, cleared or destroyed the list.
    RepaintAll();
}

void CImagePaintEx::OnMouseLeave() {
    EndTracking();
    if (!hoverItem) return;
    CImageItem* row = hoverItem;
    row->OnMouseMove(0, 0);
    row->hovered = false;
    row->hotButton = nullptr;
    RECT r = GetItemRect(row->id);
    if (IsRowVisible(r.top, r.bottom - r.top)) RepaintRow(row);
    hoverItem = nullptr;
}
