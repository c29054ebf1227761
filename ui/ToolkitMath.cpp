#include "ui/ToolkitMath.h"

#include <algorithm>

namespace toolkit {

LRESULT BorderHitTest(int x, int y, int W, int H, int bw, int bh) {
    if (x < bw && y < bh) return HTTOPLEFT;
    if (x <= bw && y >= H - bh) return HTBOTTOMLEFT;
    if (x > W - bw && y < bh) return HTTOPRIGHT;
    if (x >= W - bw && y >= H - bh) return HTBOTTOMRIGHT;
    if (x < bw) return HTLEFT;
    if (x >= W - bw) return HTRIGHT;
    if (y < bh) return HTTOP;
    if (y > H - bh) return HTBOTTOM;
    return HTCLIENT;
}

RECT AnchorButtonRect(const RECT& rect, int rightMargin, int bottomMargin, int cx, int cy) {
    RECT r = rect;
    if (rightMargin != -1 && cx - rightMargin != r.right) {
        int width = r.right - r.left;
        r.right = cx - rightMargin;
        r.left = r.right - width;
    }
    if (bottomMargin != -1 && cy - bottomMargin != r.bottom) {
        int height = r.bottom - r.top;
        r.bottom = cy - bottomMargin;
        r.top = r.bottom - height;
    }
    return r;
}

RECT AnchorStaticRect(const RECT& rect, int rightMargin, int bottomMargin, int fixedLeft, int fixedTop, int cx,
                      int cy) {
    RECT r = rect;
    if (rightMargin != -1 && cx - rightMargin != r.right) {
        int width = r.right - r.left;
        r.right = cx - rightMargin;
        r.left = fixedLeft != -1 ? fixedLeft : r.right - width;
    }
    if (bottomMargin != -1 && cy - bottomMargin != r.bottom) {
        int height = r.bottom - r.top;
        r.bottom = cy - bottomMargin;
        r.top = fixedTop != -1 ? fixedTop : r.bottom - height;
    }
    return r;
}

RECT RowItemRect(const RECT& item, int rightMargin, const RECT& row, bool clip) {
    RECT r;
    r.top = row.top + item.top;
    r.bottom = row.top + item.bottom;
    if (clip) r.bottom = std::min<LONG>(row.bottom, r.bottom);
    if (rightMargin != -1) {
        r.right = row.right - rightMargin;
        r.left = std::max<LONG>(row.left, r.right - (item.right - item.left));
    } else {
        r.left = item.left;
        r.right = item.right;
    }
    if (clip) r.right = std::min<LONG>(r.right, row.right);
    return r;
}

bool CaptionPress(int x, int y, const RECT& captionRect, bool captionDrag, bool onButton) {
    if (!captionDrag) return false;
    bool empty = captionRect.right - captionRect.left == 0 && captionRect.bottom - captionRect.top == 0;
    if (empty) return y <= kCaptionBottom && !onButton;
    POINT pt = {x, y};
    return PtInRect(&captionRect, pt) != FALSE;
}

RECT ShadowRectAround(const RECT& owner, int size) {
    RECT r = owner;
    if (r.right - r.left != 0) InflateRect(&r, size, size);
    return r;
}

void ShadowOutlines(const RECT& c, int s, int r, ShadowOutline out[3]) {
    out[0] = {c.left + s - 5, c.top + s - 5, c.right + 4 - s, c.bottom + 4 - s, r + 1};
    out[1] = {c.left + s - 3, c.top + s - 3, c.right + 2 - s, c.bottom + 2 - s, r + 1};
    out[2] = {c.left + s, c.top + s, c.right - s - 1, c.bottom - s - 1, r - 1};
}

bool RowVisibleInParent(int a, int height, int parentBottom) {
    // Rows above the parent's top wrap to large unsigned values and drop out too.
    return a + height != 0 && (unsigned)a <= (unsigned)parentBottom;
}

bool IsDoubleClick(bool rowAlreadySelected, DWORD now, DWORD lastClickTime) {
    return rowAlreadySelected && now - lastClickTime <= 500;
}

void TextBand(int top, int height, int lineHeight, int* bandTop, int* bandHeight) {
    *bandTop = top;
    *bandHeight = height;
    if (lineHeight != 0 && lineHeight < height) {
        *bandTop = top + (height - lineHeight) / 2;
        *bandHeight = lineHeight;
    }
}

RECT LinkTextRect(int left, int W, float w, int align, int bandTop, int bandHeight) {
    RECT r;
    r.left = left;
    if (align == 1 && w < W) r.left = left + (int)((W - w) * 0.5f);
    else if (align == 2 && w < W) r.left = left + (int)(W - w);
    r.right = r.left + (int)std::min<float>(w, (float)W);
    r.top = bandTop;
    r.bottom = bandTop + bandHeight;
    return r;
}

int ButtonState(const RECT& r, int mouseX, int mouseY, bool leftDown, bool checked) {
    if (checked) return 2;
    POINT pt = {mouseX, mouseY};
    if (PtInRect(&r, pt)) return leftDown ? 2 : 1;
    return 0;
}

void CutCornerPolygon(int W, int H, POINT out[8]) {
    const POINT pts[8] = {{0, 1}, {1, 0}, {W - 1, 0}, {W, 1}, {W, H - 2}, {W - 2, H}, {2, H}, {0, H - 2}};
    for (int i = 0; i < 8; ++i) out[i] = pts[i];
}

}  // namespace toolkit
