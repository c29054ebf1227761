// The item list engine: an ordered list of rows stacked from the top, the row
// under the mouse highlighted, a row selected on click, clicks and double
// clicks reported through callbacks. The list window forwards its messages.
#pragma once

#include <windows.h>
#include <gdiplus.h>
#include <functional>
#include <list>
#include "ui/ImageItem.h"
#include "ui/MouseTracking.h"
#include "ui/WindowCtrl.h"

// mouseX, mouseY and tracking come from CMouseTracking.
class CImagePaintEx : public CMouseTracking {
public:
    CImagePaintEx();
    virtual ~CImagePaintEx();

    // The row with `id`, added (with the default height) when there is none.
    CImageItem* AddItem(int id);
    void Clear();
    // (0, y, client right, y + height) of the first visible row with `id`;
    // a zero-height rectangle at the top when there is none.
    RECT GetItemRect(int id);
    void SetBackgroundColor(Gdiplus::ARGB color);
    void SetHoverColor(Gdiplus::ARGB color);
    // True when the list has handled the message.
    bool HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);

    void SetOnItemClick(const std::function<void(CImageItem*)>& f) { onItemClick = f; }
    void SetOnItemDoubleClick(const std::function<void(CImageItem*)>& f) { onItemDoubleClick = f; }
    void SetOnResize(const std::function<void(RECT*)>& f) { onResize = f; }
    void SetOnLayeredUnavailable(const std::function<void()>& f) { onLayeredUnavailable = f; }

    // Stacks the visible rows inside `rect` (null: the client rectangle).
    void Relayout(const RECT* rect);
    // Whether a row at `top` of `height` shows inside the list's parent.
    bool IsRowVisible(int top, int height);
    // The row under a point in client coordinates, or null.
    CImageItem* RowAt(int x, int y);
    void RepaintRow(CImageItem* row);
    void RepaintAll();
    void Paint();
    void DrawRows(Gdiplus::Graphics& g);
    void Reset();

    UpdateLayeredWindowFn updateLayeredWindow;
    std::function<void(CImageItem*)> onItemClick;
    std::function<void(CImageItem*)> onItemDoubleClick;
    std::function<void(RECT*)> onResize;
    std::function<void()> onLayeredUnavailable;
    int defaultItemHeight;
    CImageItem* hoverItem;     // not owned: one of `items`, or null
    CImageItem* selectedItem;  // not owned: one of `items`, or null
    Gdiplus::Brush* backgroundBrush;  // owned
    Gdiplus::Brush* hoverBrush;       // owned
    Gdiplus::Brush* selectedBrush;    // owned
    Gdiplus::ARGB backgroundColor;
    bool fillBackground;
    Gdiplus::ARGB hoverColor;
    Gdiplus::ARGB selectedColor;
    std::list<CImageItem*> items;  // owned
    DWORD lastClickTime;
    RECT lastClientRect;
    HWND owner;  // not owned: the window whose messages the list handles
    bool layered;
    BYTE alpha;

private:
    // One handler per message; none of them stops the owner's handling, except
    // the background erase, which the list does itself.
    void OnCreate();
    void OnSize(int cx, int cy);
    bool OnEraseBackground();
    void OnShowWindow(bool shown);
    void OnMouseMove(POINT pt);
    void OnLeftButtonUp(POINT pt);
    void OnMouseLeave();

    // The mouse moved while a row is hovered: true when that row still shows
    // and has dealt with the move (kept or given up the hover).
    bool FollowHoveredRow(POINT pt);

    CImagePaintEx(const CImagePaintEx&) = delete;
    CImagePaintEx& operator=(const CImagePaintEx&) = delete;
};
