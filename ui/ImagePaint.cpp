#include "ui/ImagePaint.h"

#include <algorithm>
#include "ui/ImageRes.h"
#include "ui/ToolkitMath.h"

using namespace Gdiplus;

namespace {
const RECT kNoRect = {-1, -1, -1, -1};

bool Intersects(const RECT& a, const RECT& b) {
    RECT r;
    return IntersectRect(&r, &a, &b) != FALSE;
}
}  // namespace

CImagePaint::CImagePaint()
    : updateLayeredWindow(nullptr),
      layered(false),
      captured(false),
      leftPressed(false),
      pressedRect{0, 0, 0, 0},
      rightPressed(false),
      tracking(false),
      rightPressedRect{0, 0, 0, 0},
      captionDrag(false),
      fillBackground(true),
      backgroundBrush(nullptr),
      backgroundColor(0xFFFAFAFA),
      captionRect{0, 0, 0, 0},
      mouseX(-1),
      mouseY(0),
      alpha(255),
      hoverButton(nullptr),
      owner(nullptr) {}

CImagePaint::~CImagePaint() { Reset(); }

CImageButton* CImagePaint::AddButton(int id, int normal, int hover, int pressed, int disabled, RECT rect) {
    CImageButton* b = FindButton(id);
    if (b) {
        b->SetImages(normal, hover, pressed, disabled);
        b->text[0] = 0;
        b->SetRect(rect.left, rect.top, rect.right, rect.bottom);
        return b;
    }
    b = new CImageButton(owner, id, rect, L"");
    b->SetImages(normal, hover, pressed, disabled);
    buttons.push_back(b);
    return b;
}

CImageButton* CImagePaint::FindButton(int id) {
    for (CImageButton* b : buttons)
        if (b->id == id) return b;
    return nullptr;
}

bool CImagePaint::RemoveButton(int id) {
    for (auto it = buttons.begin(); it != buttons.end(); ++it) {
        if ((*it)->id == id) {
            if (hoverButton == *it) hoverButton = nullptr;
            delete *it;
            buttons.erase(it);
            return true;
        }
    }
    return false;
}

CImageStatic* CImagePaint::AddStatic(int imageId, int id, bool flipTiled, RECT rect) {
    CImageStatic* s = FindStatic(id);
    if (!s) {
        s = new CImageStatic();
        statics.push_back(s);
    }
    s->rect = rect;
    s->id = id;
    s->flipTiled = flipTiled;
    delete s->image;
    s->image = LoadPngResource(imageId);
    return s;
}

CImageStatic* CImagePaint::FindStatic(int id) {
    for (CImageStatic* s : statics)
        if (s->id == id) return s;
    return nullptr;
}

bool CImagePaint::RemoveStatic(int id) {
    for (auto it = statics.begin(); it != statics.end(); ++it) {
        if ((*it)->id == id) {
            delete *it;
            statics.erase(it);
            return true;
        }
    }
    return false;
}

void CImagePaint::SetBackgroundColor(ARGB color) {
    delete backgroundBrush;
    fillBackground = true;
    backgroundBrush = new SolidBrush(Color(color));
}

void CImagePaint::EnableLayered() {
    if (layered || !IsWindow(owner)) return;
    fillBackground = false;
    layered = true;
    alpha = 255;
    updateLayeredWindow = LayeredEnable(owner);
    UpdateLayered();
}

void CImagePaint::UpdateLayered() {
    if (!updateLayeredWindow) {
        if (onLayeredUnavailable) onLayeredUnavailable();
        return;
    }
    LayeredUpdate(owner, updateLayeredWindow, [this](Graphics& g) { DrawItems(g, nullptr); }, alpha);
}

void CImagePaint::ToggleMaximize() {
    CImageButton* maximize = FindButton(30);
    CImageButton* restore = FindButton(40);
    if (!maximize || !restore) return;
    if (IsZoomed(owner)) {
        maximize->visible = true;
        restore->visible = false;
        ShowWindow(owner, SW_RESTORE);
    } else {
        restore->visible = true;
        maximize->visible = false;
        ShowWindow(owner, SW_SHOWMAXIMIZED);
    }
}

bool CImagePaint::IsLiveButton(const CImageButton* button) const {
    return button && std::find(buttons.begin(), buttons.end(), button) != buttons.end();
}

void CImagePaint::RepaintButton(CImageButton* button) {
    if (!button) return;
    if (layered) UpdateLayered();
    else InvalidateRect(owner, &button->rect, TRUE);
}

bool CImagePaint::OnButtonClick(CImageButton* button) {
    if (onItemClick && !onItemClick(hoverButton)) return false;
    // The callback may have removed the button or destroyed the window (which
    // deletes every item); nothing of it may be touched then.
    if (!IsLiveButton(button)) return false;
    if (button->disabled || !button->visible) return true;
    switch (button->id) {
    case 10: DestroyWindow(owner); return false;
    case 20: ShowWindow(owner, SW_MINIMIZE); break;
    case 30:
    case 40: ToggleMaximize(); break;
    default: break;
    }
    return true;
}

void CImagePaint::Layout(int cx, int cy) {
    for (CImageButton* b : buttons) {
        if (b->rightMargin == -1 && b->bottomMargin == -1) continue;
        RECT r = toolkit::AnchorButtonRect(b->rect, b->rightMargin, b->bottomMargin, cx, cy);
        if (!EqualRect(&r, &b->rect)) b->SetRect(r.left, r.top, r.right, r.bottom);
    }
    for (CImageStatic* s : statics)
        s->rect = toolkit::AnchorStaticRect(s->rect, s->rightMargin, s->bottomMargin, s->fixedLeft, s->fixedTop, cx, cy);
    if (layered) {
        UpdateLayered();
    } else {
        RECT all = {0, 0, cx, cy};
        InvalidateRect(owner, &all, TRUE);
    }
}

void CImagePaint::DrawItems(Graphics& g, const RECT* update) {
    RECT client = {0, 0, 0, 0};
    GetClientRect(owner, &client);
    if (fillBackground && backgroundBrush)
        g.FillRectangle(backgroundBrush, Rect(client.left - 1, client.top - 1, client.right - client.left + 1,
                                              client.bottom - client.top + 1));
    if (onDrawBackground) onDrawBackground(g);
    for (CImageStatic* s : statics)
        if (!update || Intersects(s->rect, *update)) s->Draw(g, 0, 0, 0, 0);
    for (CImageButton* b : buttons)
        if (!update || Intersects(b->rect, *update)) b->Draw(g, mouseX, mouseY, leftPressed, 0, 0, 0, 0);
    // Checked buttons with inner hit testing lie above the buttons they overlap.
    for (CImageButton* b : buttons)
        if (b->type == 1 && b->checked && (!update || Intersects(b->rect, *update)))
            b->Draw(g, mouseX, mouseY, leftPressed, 0, 0, 0, 0);
    if (onDrawOverlay) onDrawOverlay(g);
}

void CImagePaint::Paint() {
    if (!owner) return;
    RECT update = {0, 0, 0, 0};
    GetUpdateRect(owner, &update, FALSE);
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(owner, &ps);
    if (dc) {
        RECT client;
        GetClientRect(owner, &client);
        CSanDC buffer(dc, client, &update);
        SetBkMode(buffer.memoryDC, TRANSPARENT);
        Graphics* g = new Graphics(buffer.memoryDC);
        g->SetSmoothingMode(SmoothingModeHighQuality);
        DrawItems(*g, &update);
        delete g;
    }
    EndPaint(owner, &ps);
}

void CImagePaint::Reset() {
    for (CImageStatic* s : statics) delete s;
    statics.clear();
    for (CImageButton* b : buttons) delete b;
    buttons.clear();
    hoverButton = nullptr;
    mouseX = mouseY = -1;
    owner = nullptr;
    delete backgroundBrush;
    backgroundBrush = nullptr;
    layered = false;
    // Input state belongs to the window that is gone; a new window starts clean
    // (a stale `tracking` would keep the new one from ever hearing WM_MOUSELEAVE).
    captured = leftPressed = rightPressed = tracking = false;
}

bool CImagePaint::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    int x = (short)LOWORD(lParam), y = (short)HIWORD(lParam);
    POINT pt = {x, y};
    switch (msg) {
    case WM_CREATE:
        if (!backgroundBrush && (backgroundColor >> 24) != 0) backgroundBrush = new SolidBrush(Color(backgroundColor));
        return false;
    case WM_DESTROY: Reset(); return false;
    case WM_SIZE: Layout(x, y); return false;
    case WM_PAINT: Paint(); return false;
    case WM_ERASEBKGND: {
        RECT client = {0, 0, 0, 0};
        GetClientRect(owner, &client);
        if (client.left || client.top || client.right || client.bottom) Paint();
        return true;
    }
    case WM_SHOWWINDOW:
        if (!wParam) mouseX = mouseY = -1;
        else if (layered) UpdateLayered();
        return false;
    case WM_SETCURSOR: {
        POINT cursor;
        GetCursorPos(&cursor);
        ScreenToClient(owner, &cursor);
        for (CImageButton* b : buttons) {
            if (b->type == 2 && b->visible && PtInRect(&b->rect, cursor)) {
                SetCursor(LoadCursorW(nullptr, IDC_HAND));
                return true;
            }
        }
        return false;
    }
    case WM_MOUSEMOVE: {
        mouseX = x;
        mouseY = y;
        if (!tracking) {
            TRACKMOUSEEVENT tme = {sizeof(tme), TME_HOVER | TME_LEAVE, owner, 10};
            if (TrackMouseEvent(&tme)) tracking = true;
        }
        // A button hidden under the mouse (maximise swapped for restore) gives the hover up.
        if (hoverButton && hoverButton->visible && PtInRect(&hoverButton->rect, pt) && tracking) {
            if (hoverButton->type == 1) {
                bool hit = hoverButton->HitTest(x, y);
                bool changed = hit != hoverButton->hot;
                hoverButton->hot = hit;
                if (changed) RepaintButton(hoverButton);
            }
            return false;
        }
        if (leftPressed) return false;
        CImageButton* found = nullptr;
        if (tracking) {
            for (CImageButton* b : buttons) {
                // Ids 100..250 are reserved for items that never take the hover.
                if ((b->id < 100 || b->id > 250) && PtInRect(&b->rect, pt) && b->visible) {
                    found = b;
                    break;
                }
            }
        }
        RepaintButton(hoverButton);
        if (found) {
            hoverButton = found;
            RepaintButton(found);
            if (onItemHover && !onItemHover(found)) return true;
        } else {
            hoverButton = nullptr;
        }
        return false;
    }
    case WM_LBUTTONDOWN: {
        mouseX = x;
        mouseY = y;
        bool onButton = false;
        if (hoverButton && hoverButton->visible && PtInRect(&hoverButton->rect, pt)) {
            onButton = true;
            pressedRect = hoverButton->rect;
            leftPressed = true;
            hoverButton->HitTest(x, y);
            if (layered) UpdateLayered();
            else InvalidateRect(owner, &pressedRect, TRUE);
            if (onItemPressed && !onItemPressed(hoverButton)) return true;
            if (!captured) {
                SetCapture(owner);
                captured = true;
                return false;
            }
        }
        if (toolkit::CaptionPress(x, y, captionRect, captionDrag, onButton))
            PostMessageW(owner, WM_NCLBUTTONDOWN, HTCAPTION, (LPARAM)(((DWORD)y << 16) | ((DWORD)x & 0xFFFF)));
        if (!onButton) pressedRect = kNoRect;
        return false;
    }
    case WM_LBUTTONUP: {
        mouseX = x;
        mouseY = y;
        if (captured) {
            captured = false;
            ReleaseCapture();
        }
        leftPressed = false;
        if (!hoverButton) {
            pressedRect = kNoRect;
            return false;
        }
        if (PtInRect(&pressedRect, pt)) {
            if (!OnButtonClick(hoverButton)) return true;
            if (!IsLiveButton(hoverButton)) {
                pressedRect = kNoRect;
                return false;
            }
        }
        CImageButton* former = hoverButton;
        if (!PtInRect(&pressedRect, pt) && !PtInRect(&hoverButton->rect, pt)) {
            mouseX = mouseY = -1;
            hoverButton = nullptr;
        }
        RepaintButton(former);
        pressedRect = kNoRect;
        return false;
    }
    case WM_LBUTTONDBLCLK:
        if (y <= 40 && captionDrag) ToggleMaximize();
        return false;
    case WM_RBUTTONDOWN:
        mouseX = x;
        mouseY = y;
        if (hoverButton && PtInRect(&hoverButton->rect, pt)) {
            rightPressed = true;
            rightPressedRect = hoverButton->rect;
            if (onItemRightPressed && !onItemRightPressed(hoverButton)) return true;
            if (!captured) {
                SetCapture(owner);
                captured = true;
            }
            return false;
        }
        rightPressedRect = kNoRect;
        return false;
    case WM_RBUTTONUP:
        mouseX = x;
        mouseY = y;
        if (captured) {
            captured = false;
            ReleaseCapture();
        }
        rightPressed = false;
        if (hoverButton) {
            if (PtInRect(&rightPressedRect, pt)) {
                if (onItemRightClick && !onItemRightClick(hoverButton)) return false;
            } else if (!PtInRect(&hoverButton->rect, pt)) {
                mouseX = mouseY = -1;
                hoverButton = nullptr;
            }
        }
        rightPressedRect = kNoRect;
        return false;
    case WM_MOUSELEAVE:
        tracking = false;
        mouseX = mouseY = -1;
        if (leftPressed) return false;
        if (hoverButton) {
            if (IsZoomed(owner)) {
                POINT cursor;
                GetCursorPos(&cursor);
                ScreenToClient(owner, &cursor);
                if (PtInRect(&hoverButton->rect, cursor)) {
                    mouseX = cursor.x;
                    mouseY = cursor.y;
                }
            }
            RepaintButton(hoverButton);
            hoverButton = nullptr;
        }
        return false;
    default: return false;
    }
}
