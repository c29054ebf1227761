#include "ui/ImagePaintEx.h"

#include "ui/TickSource.h"
#include "ui/ToolkitMath.h"

using namespace Gdiplus;

CImagePaintEx::CImagePaintEx()
    : updateLayeredWindow(nullptr),
      defaultItemHeight(24),
      tracking(false),
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
      mouseX(-1),
      mouseY(0),
      owner(nullptr),
      layered(false),
      alpha(255) {}

CImagePaintEx::~CImagePaintEx() { Reset(); }

CImageItem* CImagePaintEx::AddItem(int id) {
    for (CImageItem* row : items)
        if (row->id == id) return row;
    CImageItem* row = new CImageItem(this, id, defaultItemHeight);
    items.push_back(row);
    Relayout(nullptr);
    return row;
}

void CImagePaintEx::Clear() {
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
        Graphics* g = new Graphics(buffer.memoryDC);
        g->SetSmoothingMode(SmoothingModeHighQuality);
        DrawRows(*g);
        delete g;
    }
    EndPaint(owner, &ps);
}

void CImagePaintEx::Reset() {
    Clear();
    delete backgroundBrush;
    delete hoverBrush;
    delete selectedBrush;
    backgroundBrush = hoverBrush = selectedBrush = nullptr;
    mouseX = -1;
    mouseY = 0;
    hoverItem = selectedItem = nullptr;
    tracking = false;
    owner = nullptr;
    layered = false;
}

bool CImagePaintEx::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    int x = (short)LOWORD(lParam), y = (short)HIWORD(lParam);
    POINT pt = {x, y};
    switch (msg) {
    case WM_NCCREATE:
        if (!backgroundBrush && (backgroundColor >> 24)) backgroundBrush = new SolidBrush(Color(backgroundColor));
        if (!hoverBrush && (hoverColor >> 24)) hoverBrush = new SolidBrush(Color(hoverColor));
        if (!selectedBrush && (selectedColor >> 24)) selectedBrush = new SolidBrush(Color(selectedColor));
        return false;
    case WM_DESTROY: Reset(); return false;
    case WM_SIZE: {
        RECT area = {0, 0, x, y};
        if (onResize) onResize(&area);
        Relayout(&area);
        return false;
    }
    case WM_PAINT: Paint(); return false;
    case WM_ERASEBKGND: {
        RECT client = {0, 0, 0, 0};
        GetClientRect(owner, &client);
        if (!EqualRect(&client, &lastClientRect)) {
            Paint();
            lastClientRect = client;
        }
        return true;
    }
    case WM_SHOWWINDOW:
        if (!wParam) {
            mouseX = -1;
            mouseY = 0;
            for (CImageItem* row : items) {
                row->hovered = false;
                row->selected = false;
                row->hotButton = nullptr;
            }
            // The row under the mouse is highlighted afresh after showing again;
            // the selection pointer stays so a further click is timed against it.
            hoverItem = nullptr;
        }
        return false;
    case WM_MOUSEMOVE: {
        mouseX = x;
        mouseY = y;
        if (!tracking) {
            TRACKMOUSEEVENT tme = {sizeof(tme), TME_HOVER | TME_LEAVE, owner, 10};
            if (TrackMouseEvent(&tme)) tracking = true;
        }
        if (hoverItem) {
            RECT r = GetItemRect(hoverItem->id);
            if (hoverItem->visible && IsRowVisible(r.top, r.bottom - r.top)) {
                if (!PtInRect(&r, pt)) {
                    RepaintRow(hoverItem);
                    hoverItem->hovered = false;
                    hoverItem->hotButton = nullptr;
                    hoverItem->ResetMouse();
                    hoverItem = nullptr;
                } else if (hoverItem->OnMouseMove(x, y)) {
                    RepaintRow(hoverItem);
                }
                return false;
            }
        }
        CImageItem* row = RowAt(x, y);
        if (row && row != hoverItem) {
            if (hoverItem) hoverItem->hovered = false;
            hoverItem = row;
            row->hovered = true;
            row->OnMouseMove(x, y);
            RepaintRow(row);
            row->OnHoverEnter();
        }
        return false;
    }
    case WM_LBUTTONUP: {
        mouseX = x;
        mouseY = y;
        SetFocus(owner);
        CImageItem* row = RowAt(x, y);
        if (!row) return false;
        DWORD now = toolkit::TickCount();
        row->OnMouseMove(x, y);
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
        } else {
            selectedItem = row;
            if (onItemClick) onItemClick(row);
            // The callback may have hidden, cleared or destroyed the list.
            RepaintAll();
        }
        return false;
    }
    case WM_MOUSELEAVE:
        mouseX = -1;
        mouseY = 0;
        tracking = false;
        if (hoverItem) {
            CImageItem* row = hoverItem;
            row->OnMouseMove(0, 0);
            row->hovered = false;
            row->hotButton = nullptr;
            RECT r = GetItemRect(row->id);
            if (IsRowVisible(r.top, r.bottom - r.top)) RepaintRow(row);
            hoverItem = nullptr;
        }
        return false;
    default: return false;
    }
}
