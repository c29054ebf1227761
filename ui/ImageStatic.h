// An image static: a background picture, optional fill and a caption, drawn
// beneath a panel's buttons or inside a list row.
#pragma once

#include <windows.h>
#include <gdiplus.h>

class CImageStatic {
public:
    CImageStatic();
    virtual ~CImageStatic();

    // Left = right means "use rect".
    void Draw(Gdiplus::Graphics& g, int left, int top, int right, int bottom);

    int rightMargin;
    int bottomMargin;
    int fixedLeft;
    int fixedTop;
    Gdiplus::Brush* textBrush;
    Gdiplus::Brush* fillBrush;
    int textOffsetX;
    bool flipTiled;
    RECT rect;
    Gdiplus::Image* image;
    int id;
    wchar_t text[256];
    Gdiplus::Font* font;
    Gdiplus::Font* customFont;
    bool visible;
    int textAlign;

private:
    CImageStatic(const CImageStatic&) = delete;
    CImageStatic& operator=(const CImageStatic&) = delete;
};
