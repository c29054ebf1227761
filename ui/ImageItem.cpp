#include "ui/ImageItem.h"

#include "ui/ImagePaintEx.h"
#include "ui/ToolkitMath.h"

using namespace Gdiplus;

CImageItem::CImageItem(CImagePaintEx* list_, int id_, int height_)
    : mouseX(-1),
      mouseY(0),
      hotButton(nullptr),
      hovered(false),
      selected(false),
      visible(true),
      list(list_),
      id(id_),
      height(height_),
      rect{0, 0, 0, 0} {}

CImageItem::~CImageItem() {
    for (CImageButton* b : buttons) delete b;
    for (CImageStatic* s : statics) delete s;
    for (CWindowCtrl* w : childWindows) {
        if (IsWindow(w->hwnd)) DestroyWindow(w->hwnd);
        delete w;
    }
}

CImageButton* CImageItem::AddButton(int id_, RECT r, const wchar_t* text, int normal, int hover, int pressed,
                                    int disabled) {
    for (CImageButton* b : buttons)
        if (b->id == id_) return b;
    CImageButton* b = new CImageButton(list ? list->owner : nullptr, id_, r, text);
    b->SetImages(normal, hover, pressed, disabled);
    buttons.push_back(b);
    return b;
}

void CImageItem::SetSelected(bool select) {
    if (select) {
        if (list && list->selectedItem) list->selectedItem->selected = false;
        selected = true;
    } else {
        selected = false;
    }
}

void CImageItem::ResetMouse() {
    hotButton = nullptr;
    mouseX = -1;
    mouseY = 0;
}

void CImageItem::OnHoverEnter() {}

void CImageItem::OnRowRect(int left, int top, int right, int bottom) {
    if (!list) return;
    for (CWindowCtrl* w : childWindows) {
        if (!IsWindow(w->hwnd)) continue;
        RECT wr;
        GetWindowRect(w->hwnd, &wr);
        MapWindowPoints(nullptr, list->owner, reinterpret_cast<POINT*>(&wr), 2);
        // Keep the child's offset within the row.
        int dx = wr.left - rect.left, dy = wr.top - rect.top;
        RECT to = {left + dx, top + dy, left + dx + (wr.right - wr.left), top + dy + (wr.bottom - wr.top)};
        if (to.right > right) to.right = right;
        if (to.bottom > bottom) to.bottom = bottom;
        w->MoveTo(to);
    }
}

void CImageItem::Draw(Graphics& g, int left, int top, int right, int bottom) {
    const RECT row = {left, top, right, bottom};
    Brush* background = nullptr;
    if (selected) background = list && list->selectedBrush ? list->selectedBrush : (list ? list->hoverBrush : nullptr);
    else if (hovered && list) background = list->hoverBrush;
    if (background) g.FillRectangle(background, left, top, right - left, bottom - top);

    for (CImageButton* b : buttons) {
        if (!b->visible) continue;
        RECT r = toolkit::RowItemRect(b->rect, b->rightMargin, row, true);
        // Nothing of it lies in the row (and an empty width would mean "own rect").
        if (r.right <= r.left || r.bottom <= r.top) continue;
        b->Draw(g, mouseX, mouseY, false, r.left, r.top, r.right, r.bottom);
    }
    for (CImageStatic* s : statics) {
        if (!s->visible) continue;
        RECT r = toolkit::RowItemRect(s->rect, s->rightMargin, row, true);
        if (r.right <= r.left || r.bottom <= r.top) continue;
        s->Draw(g, r.left, r.top, r.right, r.bottom);
    }
}

bool CImageItem::OnMouseMove(int x, int y) {
    mouseX = x;
    mouseY = y;
    RECT row = list ? list->GetItemRect(id) : rect;
    POINT pt = {x, y};
    for (CImageButton* b : buttons) {
        if (!b->visible) continue;
        RECT r = toolkit::RowItemRect(b->rect, b->rightMargin, row, false);
        bool inside = PtInRect(&r, pt) != FALSE;
        if (hotButton) {
            if (inside) {
                if (b == hotButton) return false;
                hotButton = b;
                return true;
            }
            if (b == hotButton) {
                hotButton = nullptr;
                return true;
            }
        } else if (inside) {
            hotButton = b;
            return true;
        }
    }
    return false;
}
