// The button panel: owns the statics and buttons painted on a window's
// surface, follows the mouse, turns press and release into clicks, carries out
// the built-in commands (PanelCommandId: close, minimise, maximise, restore),
// drags the window by its caption, lays anchored items out and paints, double-
// buffered or layered with per-pixel alpha. The owner forwards its messages.
#pragma once

#include <windows.h>
#include <gdiplus.h>
#include <functional>
#include <vector>
#include "ui/ImageButton.h"
#include "ui/ImageStatic.h"
#include "ui/ItemCodes.h"
#include "ui/MouseTracking.h"
#include "ui/WindowCtrl.h"

// mouseX, mouseY and tracking come from CMouseTracking.
class CImagePaint : public CMouseTracking {
public:
    typedef std::function<bool(CImageButton*)> ItemCallback;
    typedef std::function<void(Gdiplus::Graphics&)> DrawCallback;

    CImagePaint();
    virtual ~CImagePaint();
    // Built-in commands; false means the event was taken over (by the click
    // callback, or because the owner is gone).
    virtual bool OnButtonClick(CImageButton* button);

    CImageButton* AddButton(int id, int normalImage, int hoverImage, int pressedImage, int disabledImage, RECT rect);
    CImageButton* FindButton(int id);
    bool RemoveButton(int id);
    CImageStatic* AddStatic(int imageId, int id, bool flipTiled, RECT rect);
    CImageStatic* FindStatic(int id);
    bool RemoveStatic(int id);

    void SetBackgroundColor(Gdiplus::ARGB color);
    void EnableLayered();
    void UpdateLayered();
    void ToggleMaximize();
    // True when the panel has handled the message.
    bool HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);

    void SetOnItemPressed(const ItemCallback& f) { onItemPressed = f; }
    void SetOnItemClick(const ItemCallback& f) { onItemClick = f; }
    void SetOnItemHover(const ItemCallback& f) { onItemHover = f; }
    void SetOnItemRightPressed(const ItemCallback& f) { onItemRightPressed = f; }
    void SetOnItemRightClick(const ItemCallback& f) { onItemRightClick = f; }
    void SetOnDrawBackground(const DrawCallback& f) { onDrawBackground = f; }
    void SetOnDrawOverlay(const DrawCallback& f) { onDrawOverlay = f; }

    // Moves anchored items for a client area of cx x cy, then repaints.
    void Layout(int cx, int cy);
    // WM_PAINT: double-buffered drawing of what intersects the update rectangle.
    void Paint();
    // The drawing pass shared by Paint and the layered update; with `update`
    // only items intersecting it are drawn.
    void DrawItems(Gdiplus::Graphics& g, const RECT* update);
    // Drops every item and the window-bound state (WM_DESTROY, destructor).
    void Reset();

    UpdateLayeredWindowFn updateLayeredWindow;
    bool layered;
    bool captured;
    bool leftPressed;
    RECT pressedRect;
    bool rightPressed;
    RECT rightPressedRect;
    bool captionDrag;
    bool fillBackground;
    Gdiplus::Brush* backgroundBrush;  // owned
    Gdiplus::ARGB backgroundColor;
    RECT captionRect;
    BYTE alpha;
    CImageButton* hoverButton;  // not owned: one of `buttons`, or null
    std::vector<CImageStatic*> statics;  // owned
    std::vector<CImageButton*> buttons;  // owned
    ItemCallback onItemPressed;
    ItemCallback onItemClick;
    ItemCallback onItemHover;
    ItemCallback onItemRightPressed;
    ItemCallback onItemRightClick;
    DrawCallback onDrawBackground;
    DrawCallback onDrawOverlay;
    std::function<void()> onLayeredUnavailable;
    HWND owner;  // not owned: the window whose messages the panel handles

private:
    // One handler per message; true: handled, the owner's handling stops there.
    void OnCreate();
    bool OnEraseBackground();
    void OnShowWindow(bool shown);
    bool OnSetCursor();
    bool OnMouseMove(POINT pt);
    bool OnLeftButtonDown(POINT pt);
    bool OnLeftButtonUp(POINT pt);
    void OnLeftDoubleClick(POINT pt);
    bool OnRightButtonDown(POINT pt);
    bool OnRightButtonUp(POINT pt);
    void OnMouseLeave();

    // The first visible button under `pt` that may take the hover.
    CImageButton* HoverCandidateAt(POINT pt);
    // Captures the mouse for a press unless it already is; true when taken now.
    bool TakeCapture();
    // Lets the capture go on a release, when the panel holds it.
    void GiveCaptureBack();
    void RepaintButton(CImageButton* button);
    bool IsLiveButton(const CImageButton* button) const;

    CImagePaint(const CImagePaint&) = delete;
    CImagePaint& operator=(const CImagePaint&) = delete;
};
