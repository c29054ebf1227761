// Arithmetic of the toolkit kept apart from windows: hit testing, anchoring,
// row placement, caption presses, shadow outlines and click timing. Everything
// here takes values and returns values.
#pragma once

#include <windows.h>

namespace toolkit {

// Sizing-border hit test of a resizable borderless window, in client
// coordinates of a client area of width x height.
LRESULT BorderHitTest(int x, int y, int width, int height, int borderWidth, int borderHeight);

// A panel button anchored to the right and/or bottom edge of a client area of
// cx x cy (margin -1: not anchored on that side). The size never changes.
RECT AnchorButtonRect(const RECT& rect, int rightMargin, int bottomMargin, int cx, int cy);
// The same for a static; fixedLeft/fixedTop (when not -1) pin the opposite
// edge so that the static stretches instead of moving.
RECT AnchorStaticRect(const RECT& rect, int rightMargin, int bottomMargin, int fixedLeft, int fixedTop, int cx,
                      int cy);

// Where an item of a list row lands: `item` is relative to the row (x from the
// list's left edge, y from the row's top). With `clip` the bottom and right are
// limited to the row, as when drawing.
RECT RowItemRect(const RECT& item, int rightMargin, const RECT& row, bool clip);

// Without a caption rectangle, rows 0 to kCaptionBottom are the caption: a
// press there drags the window, a double click there toggles the zoom.
const int kCaptionBottom = 40;

// Whether a left press at (x, y) starts a window drag by the caption. An empty
// caption rectangle means the rows up to kCaptionBottom.
bool CaptionPress(int x, int y, const RECT& captionRect, bool captionDrag, bool onButton);

// A drop shadow exceeds its owner by kShadowSize pixels on every side; its
// outlines have the base corner radius kShadowRadius.
const int kShadowSize = 6;
const int kShadowRadius = 3;

// The rectangle a drop shadow takes around its owner's window rectangle; an
// owner of width 0 gets a shadow of its own size.
RECT ShadowRectAround(const RECT& owner, int size);

// The three outlines of a drop shadow in its client rectangle: outer, middle, inner.
struct ShadowOutline {
    int left, top, right, bottom, radius;
};
void ShadowOutlines(const RECT& client, int size, int radius, ShadowOutline out[3]);

// Whether a list row whose top lies at `a` in the parent's client coordinates
// shows in a parent whose client area ends at `parentBottom`.
bool RowVisibleInParent(int a, int height, int parentBottom);

// A click on a row that is already the selected one counts as a double click
// when it follows the previous click within 500 ms.
bool IsDoubleClick(bool rowAlreadySelected, DWORD now, DWORD lastClickTime);

// The band a button's text is laid out in, given the text rectangle's top and
// height: a nonzero lineHeight smaller than the height centres a band of it.
void TextBand(int top, int height, int lineHeight, int* bandTop, int* bandHeight);

// Where a link's text ends up after drawing: measured width `w` in a layout
// rectangle of width W starting at `left`, for alignment 0 near, 1 centre, 2 far.
RECT LinkTextRect(int left, int width, float measured, int align, int bandTop, int bandHeight);

// The two frames of a state strip W pixels wide: each is W/2 wide (integer).
inline int StripFrameWidth(int stripWidth) { return stripWidth / 2; }

// Visual state of a button: 0 normal, 1 hover, 2 pressed.
int ButtonState(const RECT& r, int mouseX, int mouseY, bool leftDown, bool checked);

// Outline of a window whose corners are cut: one pixel at the top, two at the bottom.
void CutCornerPolygon(int width, int height, POINT out[8]);

}  // namespace toolkit
