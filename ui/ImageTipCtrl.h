// A tooltip window: one line of text shown 15 pixels right of and below the
// cursor when its timer 1100 fires. The owner creates it hidden, writes
// `text`, starts the timer and hides it again.
#pragma once

#include <windows.h>
#include <gdiplus.h>
#include "ui/WindowCtrl.h"

class CImageTipCtrl : public CWindowCtrl {
public:
    static const UINT_PTR kTimerId = 1100;

    CImageTipCtrl();
    ~CImageTipCtrl() override;

    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;
    void OnTimer(UINT_PTR id) override;

    // Size of `text` as drawn, in pixels (truncated).
    SIZE MeasureText();

    wchar_t text[260];
    // Owned, all four: made on WM_CREATE, deleted on WM_DESTROY and with the control.
    Gdiplus::Font* font;
    Gdiplus::Brush* backgroundBrush;
    Gdiplus::Brush* textBrush;
    Gdiplus::Pen* borderPen;

private:
    void CreateResources();
    void DeleteResources();
    void Paint();
};
