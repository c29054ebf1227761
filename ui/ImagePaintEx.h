// The item list engine: an ordered list of rows stacked from the top, the row
// under the mouse highlighted, a row selected on click, clicks and double
// clicks reported through callbacks. The list window forwards its messages.
#pragma once

#include <windows.h>
#include <gdiplus.h>
#include <functional>
#include <list>
#include "ui/ImageItem.h"
#include "ui/WindowCtrl.h"

class CImagePaintEx {
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
    bool tracking;
    CImageItem* hoverItem;
    CImageItem* selectedItem;
    Gdiplus::Brush* backgroundBrush;
    Gdiplus::Brush* hoverBrush;
    Gdiplus::Brush* selectedBrush;
    Gdiplus::ARGB backgroundColor;
    bool fillBackground;
    Gdiplus::ARGB hoverColor;
    Gdiplus::ARGB selectedColor;
    std::list<CImageItem*> items;
    DWORD lastClickTime;
    RECT lastClientRect;
    int mouseX, mouseY;
    HWND owner;
    bool layered;
    BYTE alpha;

private:
    CImagePaintEx(const CImagePaintEx&) = delete;
    CImagePaintEx& operator=(const CImagePaintEx&) = delete;
};
