#include "ui/ImagePaint.h"

#include <algorithm>
#include "base/ThreadCheck.h"
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
      rightPressedRect{0, 0, 0, 0},
      captionDrag(false),
      fillBackground(true),
      backgroundBrush(nullptr),
      backgroundColor(0xFFFAFAFA),
      captionRect{0, 0, 0, 0},
      alpha(255),
      hoverButton(nullptr),
      owner(nullptr) {}

CImagePaint::~CImagePaint() { Reset(); }

CImageButton* CImagePaint::AddButton(int id, int normal, int hover, int pressed, int disabled, RECT rect) {
    BASE_DCHECK_WINDOW_THREAD(owner);
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
    BASE_DCHECK_WINDOW_THREAD(owner);
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
    BASE_DCHECK_WINDOW_THREAD(owner);
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
    BASE_DCHECK_WINDOW_THREAD(owner);
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
    // A hidden window is drawn as it shows (OnShowWindow): a pass now would be one
    // nobody sees. Without layered drawing the fallback is told at once.
    if (!updateLayeredWindow || IsWindowVisible(owner)) UpdateLayered();
}

void CImagePaint::UpdateLayered() {
    BASE_DCHECK_WINDOW_THREAD(owner);
    if (!updateLayeredWindow) {
        if (onLayeredUnavailable) onLayeredUnavailable();
        return;
    }
    LayeredUpdate(owner, updateLayeredWindow, [this](Graphics& g) { DrawItems(g, nullptr); }, alpha);
}

void CImagePaint::ToggleMaximize() {
    CImageButton* maximize = FindButton(kPanelMaximise);
    CImageButton* restore = FindButton(kPanelRestore);
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
    case kPanelClose: DestroyWindow(owner); return false;
    case kPanelMinimise: ShowWindow(owner, SW_MINIMIZE); break;
    case kPanelMaximise:
    case kPanelRestore: ToggleMaximize(); break;
    default: break;
    }
    return true;
}

void CImagePaint::Layout(int cx, int cy) {
    BASE_DCHECK_WINDOW_THREAD(owner);
    for (CImageButton* b : buttons) {
        if (b->rightMargin == -1 && b->bottomMargin == -1) continue;
        RECT r = toolkit::AnchorButtonRect(b->rect, b->rightMargin, b->bottomMargin, cx, cy);
        if (!EqualRect(&r, &b->rect)) b->SetRect(r.left, r.top, r.right, r.bottom);
    }
    for (CImageStatic* s : statics)
        s->rect = toolkit::AnchorStaticRect(s->rect, s->rightMargin, s->bottomMargin, s->fixedLeft, s->fixedTop, cx, cy);
    if (layered) {
        if (IsWindowVisible(owner)) UpdateLayered();  // else drawn as it shows
    } else {
        RECT all = {0, 0, cx, cy};
        InvalidateRect(owner, &all, TRUE);
    }
}

void CImagePaint::DrawItems(Graphics& g, const RECT* update) {
    RECT client = {0, 0, 0, 0};
    GetClientRect(owner, &client);
    // Only what is copied back gets filled: a whole maximised client costs GDI+
    // tens of milliseconds, which a repaint of a line of text must not pay.
    RECT fill = client;
    if (update && !IntersectRect(&fill, &client, update)) fill = RECT{0, 0, 0, 0};
    if (fillBackground && backgroundBrush && !IsRectEmpty(&fill))
        g.FillRectangle(backgroundBrush,
                        Rect(fill.left - 1, fill.top - 1, fill.right - fill.left + 1, fill.bottom - fill.top + 1));
    if (onDrawBackground) onDrawBackground(g);
    for (CImageStatic* s : statics)
        if (!update || Intersects(s->rect, *update)) s->Draw(g, 0, 0, 0, 0, update);
    for (CImageButton* b : buttons)
        if (!update || Intersects(b->rect, *update)) b->Draw(g, mouseX, mouseY, leftPressed, 0, 0, 0, 0);
    // Checked buttons with inner hit testing lie above the buttons they overlap.
    for (CImageButton* b : buttons)
        if (b->type == kButtonInnerHit && b->checked && (!update || Intersects(b->rect, *update)))
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
        Graphics g(buffer.memoryDC);  // gone before the buffer is copied back
        g.SetSmoothingMode(SmoothingModeHighQuality);
        // The buffer holds the update rectangle only; items draw in client coordinates.
        g.TranslateTransform((REAL)-update.left, (REAL)-update.top);
        // Items that reach into the update rectangle (a background stretched along
        // the whole bar) are drawn only there.
        g.SetClip(Rect(update.left, update.top, update.right - update.left, update.bottom - update.top));
        DrawItems(g, &update);
    }
    EndPaint(owner, &ps);
}

void CImagePaint::Reset() {
    for (CImageStatic* s : statics) delete s;
    statics.clear();
    for (CImageButton* b : buttons) delete b;
    buttons.clear();
    hoverButton = nullptr;
    owner = nullptr;
    delete backgroundBrush;
    backgroundBrush = nullptr;
    layered = false;
    // Input state belongs to the window that is gone; a new window starts clean
    // (a stale `tracking` would keep the new one from ever hearing WM_MOUSELEAVE).
    EndTracking();
    captured = leftPressed = rightPressed = false;
}

bool CImagePaint::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    const POINT pt = {(short)LOWORD(lParam), (short)HIWORD(lParam)};
    switch (msg) {
    case WM_CREATE: OnCreate(); return false;
    case WM_DESTROY: Reset(); return false;
    case WM_SIZE: Layout(pt.x, pt.y); return false;
    case WM_PAINT: Paint(); return false;
    case WM_ERASEBKGND: return OnEraseBackground();
    case WM_SHOWWINDOW: OnShowWindow(wParam != FALSE); return false;
    case WM_SETCURSOR: return OnSetCursor();
    case WM_MOUSEMOVE: return OnMouseMove(pt);
    case WM_LBUTTONDOWN: return OnLeftButtonDown(pt);
    case WM_LBUTTONUP: return OnLeftButtonUp(pt);
    case WM_LBUTTONDBLCLK: OnLeftDoubleClick(pt); return false;
    case WM_RBUTTONDOWN: return OnRightButtonDown(pt);
    case WM_RBUTTONUP: return OnRightButtonUp(pt);
    case WM_MOUSELEAVE: OnMouseLeave(); return false;
    default: return false;
    }
}

void CImagePaint::OnCreate() {
    if (!backgroundBrush && (backgroundColor >> 24) != 0) backgroundBrush = new SolidBrush(Color(backgroundColor));
}

bool CImagePaint::OnEraseBackground() {
    RECT client = {0, 0, 0, 0};
    GetClientRect(owner, &client);
    if (client.left || client.top || client.right || client.bottom) Paint();
    return true;
}

void CImagePaint::OnShowWindow(bool shown) {
    if (!shown) ForgetMouse();
    else if (layered) UpdateLayered();
}

bool CImagePaint::OnSetCursor() {
    POINT cursor;
    GetCursorPos(&cursor);
    ScreenToClient(owner, &cursor);
    for (CImageButton* b : buttons) {
        if (b->type == kButtonLink && b->visible && PtInRect(&b->rect, cursor)) {
            SetCursor(LoadCursorW(nullptr, IDC_HAND));
            return true;
        }
    }
    return false;
}

CImageButton* CImagePaint::HoverCandidateAt(POINT pt) {
    for (CImageButton* b : buttons) {
        bool neverHovers = b->id >= kNoHoverFirstId && b->id <= kNoHoverLastId;
        if (!neverHovers && PtInRect(&b->rect, pt) && b->visible) return b;
    }
    return nullptr;
}

bool CImagePaint::OnMouseMove(POINT pt) {
    FollowMouse(owner, pt.x, pt.y);
    // Still over the hover button. A button hidden under the mouse (maximise
    // swapped for restore) gives the hover up.
    if (hoverButton && hoverButton->visible && PtInRect(&hoverButton->rect, pt) && tracking) {
        if (hoverButton->type == kButtonInnerHit) {
            bool hit = hoverButton->HitTest(pt.x, pt.y);
            bool changed = hit != hoverButton->hot;
            hoverButton->hot = hit;
            if (changed) RepaintButton(hoverButton);
        }
        return false;
    }
    if (leftPressed) return false;
    CImageButton* found = tracking ? HoverCandidateAt(pt) : nullptr;
    RepaintButton(hoverButton);
    hoverButton = found;
    if (!found) return false;
    RepaintButton(found);
    return onItemHover && !onItemHover(found);
}

bool CImagePaint::TakeCapture() {
    if (captured) return false;
    SetCapture(owner);
    captured = true;
    return true;
}

void CImagePaint::GiveCaptureBack() {
    if (!captured) return;
    captured = false;
    ReleaseCapture();
}

bool CImagePaint::OnLeftButtonDown(POINT pt) {
    MouseAt(pt.x, pt.y);
    // A press counts on the button under it even when the hover was lost on the
    // way: a leave of an earlier stay that the system reported late (Wine checks
    // the pointer on a timer) must not swallow the player's click.
    if (!leftPressed && (!hoverButton || !PtInRect(&hoverButton->rect, pt))) {
        if (CImageButton* under = HoverCandidateAt(pt)) {
            RepaintButton(hoverButton);
            hoverButton = under;
            FollowMouse(owner, pt.x, pt.y);
        }
    }
    bool onButton = hoverButton && hoverButton->visible && PtInRect(&hoverButton->rect, pt);
    if (onButton) {
        pressedRect = hoverButton->rect;
        leftPressed = true;
        hoverButton->HitTest(pt.x, pt.y);
        if (layered) UpdateLayered();
        else InvalidateRect(owner, &pressedRect, TRUE);
        if (onItemPressed && !onItemPressed(hoverButton)) return true;
        if (TakeCapture()) return false;
    }
    if (toolkit::CaptionPress(pt.x, pt.y, captionRect, captionDrag, onButton))
        PostMessageW(owner, WM_NCLBUTTONDOWN, HTCAPTION, MAKELPARAM(pt.x, pt.y));
    if (!onButton) pressedRect = kNoRect;
    return false;
}

bool CImagePaint::OnLeftButtonUp(POINT pt) {
    MouseAt(pt.x, pt.y);
    GiveCaptureBack();
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
        ForgetMouse();
        hoverButton = nullptr;
    }
    RepaintButton(former);
    pressedRect = kNoRect;
    return false;
}

void CImagePaint::OnLeftDoubleClick(POINT pt) {
    if (pt.y <= toolkit::kCaptionBottom && captionDrag) ToggleMaximize();
}

bool CImagePaint::OnRightButtonDown(POINT pt) {
    MouseAt(pt.x, pt.y);
    if (!hoverButton || !PtInRect(&hoverButton->rect, pt)) {
        rightPressedRect = kNoRect;
        return false;
    }
    rightPressed = true;
    rightPressedRect = hoverButton->rect;
    if (onItemRightPressed && !onItemRightPressed(hoverButton)) return true;
    TakeCapture();
    return false;
}

bool CImagePaint::OnRightButtonUp(POINT pt) {
    MouseAt(pt.x, pt.y);
    GiveCaptureBack();
    rightPressed = false;
    if (hoverButton) {
        if (PtInRect(&rightPressedRect, pt)) {
            if (onItemRightClick && !onItemRightClick(hoverButton)) return false;
        } else if (!PtInRect(&hoverButton->rect, pt)) {
            ForgetMouse();
            hoverButton = nullptr;
        }
    }
    rightPressedRect = kNoRect;
    return false;
}

void CImagePaint::OnMouseLeave() {
    EndTracking();
    if (leftPressed || !hoverButton) return;
    if (IsZoomed(owner)) {
        // Maximised, a hover button still under the cursor is repainted with the
        // cursor's position, so it keeps its hover look.
        POINT cursor;
        GetCursorPos(&cursor);
        ScreenToClient(owner, &cursor);
        if (PtInRect(&hoverButton->rect, cursor)) MouseAt(cursor.x, cursor.y);
    }
    RepaintButton(hoverButton);
    hoverButton = nullptr;
}
