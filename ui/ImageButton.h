// An image button: a drawable item of a panel or a list row, with state
// images, icon, fill, outline and text per state. Owners set the public
// members directly after creating it.
#pragma once

#include <windows.h>
#include <gdiplus.h>
#include "ui/ItemCodes.h"

class CImageButton {
public:
    CImageButton(HWND owner, int id, RECT rect, const wchar_t* text);
    virtual ~CImageButton();

    // Left = right means "use rect".
    virtual void Draw(Gdiplus::Graphics& g, int mouseX, int mouseY, bool leftDown, int left, int top, int right,
                      int bottom);
    virtual void SetRect(int left, int top, int right, int bottom);
    virtual bool HitTest(int x, int y);
    virtual RECT GetInnerRect();
    virtual void DrawText(Gdiplus::Graphics& g, RECT& rect, Gdiplus::Brush* brush);

    // Replaces the four state images by resources (0: none); a normal id of 0 keeps them all.
    void SetImages(int normal, int hover, int pressed, int disabled);
    // Cuts a two-frame strip into the normal (left half) and hover (right half) images.
    void SetImageStrip(int id);
    // Text colours per state; a colour with alpha 0 leaves that state without a brush.
    void SetTextColors(Gdiplus::ARGB normal, Gdiplus::ARGB hover, Gdiplus::ARGB pressed);

    bool hot;
    bool checked;
    int rightMargin;
    int bottomMargin;
    POINT imageOffset;
    RECT textPadding;
    bool showText;
    int type;
    int imageMode;
    int id;
    RECT rect;
    bool visible;
    bool disabled;
    Gdiplus::Font* font;        // owned: the default item font
    Gdiplus::Font* customFont;  // not owned: whoever sets it keeps it
    wchar_t text[256];
    int lineHeight;
    HWND owner;  // not owned: the window the button is drawn on
    Gdiplus::Image* images[4];  // owned
    Gdiplus::Image* strip;      // owned
    bool showIcon;
    Gdiplus::Image* icons[2];   // owned
    RECT iconRect;
    Gdiplus::Pen* borderPens[3];      // owned
    Gdiplus::Brush* fillBrushes[3];   // owned
    Gdiplus::Brush* textBrushes[3];   // owned
    int textAlign;
    RECT linkTextRect;

private:
    CImageButton(const CImageButton&) = delete;
    CImageButton& operator=(const CImageButton&) = delete;
};
