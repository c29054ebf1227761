// The mouse as a panel engine follows it over its window: where it was last
// seen, and whether the window has asked to hear of the mouse leaving. Shared
// by the button panel (CImagePaint) and the item list (CImagePaintEx), which
// each keep the item under the mouse themselves.
#pragma once

#include <windows.h>

class CMouseTracking {
public:
    // The mouse is at (x, y) in the window's client area.
    void MouseAt(int x, int y) {
        mouseX = x;
        mouseY = y;
    }
    // A move to (x, y): remembered, and the leave asked for once per stay over
    // `window` (WM_MOUSELEAVE, hover time 10 ms). Answers `tracking`.
    bool FollowMouse(HWND window, int x, int y) {
        MouseAt(x, y);
        if (!tracking) {
            TRACKMOUSEEVENT tme = {sizeof(tme), TME_HOVER | TME_LEAVE, window, 10};
            if (TrackMouseEvent(&tme)) tracking = true;
        }
        return tracking;
    }
    // Nowhere over the window: nothing is drawn as being under the mouse.
    void ForgetMouse() { mouseX = mouseY = -1; }
    // The system has ended the tracking (the mouse left) or the window is gone:
    // the next move asks again.
    void EndTracking() {
        tracking = false;
        ForgetMouse();
    }

    int mouseX = -1, mouseY = -1;
    bool tracking = false;
};
