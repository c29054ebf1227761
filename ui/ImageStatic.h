// An image static: a background picture, optional fill and a caption, drawn
// beneath a panel's buttons or inside a list row.
#pragma once

#include <windows.h>
#include <gdiplus.h>

class CImageStatic {
public:
    CImageStatic();
    virtual ~CImageStatic();

    // Left = right means "use rect". With `area`, a stretched (flipTiled) picture
    // is drawn only where it meets that rectangle; the caller clips the rest.
    void Draw(Gdiplus::Graphics& g, int left, int top, int right, int bottom, const RECT* area = nullptr);

    int rightMargin;
    int bottomMargin;
    int fixedLeft;
    int fixedTop;
    Gdiplus::Brush* textBrush;  // owned
    Gdiplus::Brush* fillBrush;  // owned
    int textOffsetX;
    bool flipTiled;
    RECT rect;
    Gdiplus::Image* image;  // owned
    int id;
    wchar_t text[256];
    Gdiplus::Font* font;        // owned: the default item font
    Gdiplus::Font* customFont;  // not owned: whoever sets it keeps it
    bool visible;
    int textAlign;

private:
    CImageStatic(const CImageStatic&) = delete;
    CImageStatic& operator=(const CImageStatic&) = delete;
};
