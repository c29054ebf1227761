// A skinned top-level window hosting one button panel: borderless, resizable
// from its edges, with minimum and fixed sizes, maximising to the work area,
// optionally with cut corners and a drop shadow glued to it.
#pragma once

#include <windows.h>
#include <gdiplus.h>
#include "ui/ImagePaint.h"
#include "ui/ShadowCtrl.h"
#include "ui/WindowCtrl.h"

// The style a skinned top-level window is created with: a borderless popup,
// shown, children clipped, with the minimise and maximise abilities.
const DWORD kSkinnedWindowStyle = WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;

// What a window hosting a button panel makes of its style on WM_NCCREATE: no
// caption bits, children clipped, maximisable. 0x0100 lies in the low word,
// which belongs to the window class; no class of ours reads it.
inline DWORD PanelWindowStyle(DWORD style) {
    return (style & ~WS_CAPTION) | WS_CLIPCHILDREN | WS_MAXIMIZEBOX | 0x0100;
}

class CImageCtrl : public CWindowCtrl {
public:
    CImageCtrl();
    ~CImageCtrl() override;

    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;
    void OnShowWindow(BOOL show, int status) override;

    // The panel's events; true lets the panel carry on with its own handling.
    virtual bool OnItemPressed(CImageButton* button);
    virtual bool OnItemClick(CImageButton* button);
    virtual bool OnItemHover(CImageButton* button);
    virtual bool OnItemRightPressed(CImageButton* button);
    virtual bool OnItemRightClick(CImageButton* button);
    virtual void OnDrawBackground(Gdiplus::Graphics& g);
    virtual void OnDrawOverlay(Gdiplus::Graphics& g);

    // Small icon: the control keeps its own copy. Big icon: passed as given.
    void SetIcon(HICON icon, bool big);

    CImagePaint panel;
    HICON iconCopy;  // owned
    int minWidth, minHeight;
    int fixedWidth, fixedHeight;
    bool resizable;
    int borderHeight;
    int borderWidth;
    bool cutCorners;
    CShadowCtrl* shadow;  // owned: set by the creator of the control, deleted with it

protected:
    void GlueShadow();

private:
    // The control's own part of each message, before the panel's and before
    // the virtual handlers of derived windows (hence not named On...).
    void BindPanel();
    LRESULT HitTestBorders(LPARAM screenPoint);
    void LimitMaximisedArea(MINMAXINFO* info);
    void KeepSizeLimits(WINDOWPOS* pos);
    void ShapeToSize(int width, int height);
};
