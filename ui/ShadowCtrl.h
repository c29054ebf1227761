// A drop shadow: a layered popup a few pixels larger than its owner on every
// side, drawing three translucent rounded outlines. The owner glues it to its
// own window rectangle and shows and hides it with itself. The outline drawing
// and its pens serve any window that draws a shadow itself (the launcher once
// it has become the frame's shadow).
#pragma once

#include <windows.h>
#include <gdiplus.h>
#include "ui/WindowCtrl.h"

// Colours of the three outlines, outer to inner: grey at alphas 15, 50 and 100.
extern const Gdiplus::ARGB kShadowColors[3];       // dark grey 0x8A
extern const Gdiplus::ARGB kShadowLightColors[3];  // the lighter grey 0x9E of popup menus

// The pens of the three outlines, outer to inner (widths 2, 2 and 4). The
// holder owns them: Create makes them anew, Delete and the destructor delete them.
class CShadowPens {
public:
    CShadowPens();
    ~CShadowPens();
    void Create(const Gdiplus::ARGB (&colors)[3]);
    void Delete();
    // Null before Create and after Delete.
    Gdiplus::Pen* operator[](int i) const { return pens_[i]; }

private:
    Gdiplus::Pen* pens_[3];  // owned

    CShadowPens(const CShadowPens&) = delete;
    CShadowPens& operator=(const CShadowPens&) = delete;
};

// Draws the outlines of a shadow `size` pixels wide with base corner radius
// `radius` into the client rectangle of the shadow's window
// (toolkit::ShadowOutlines); an outline whose pen is missing is left out.
// A large rectangle is drawn in nine parts, from a small one drawn whole: its
// corners as they are, its edges tiled from its middle rows and columns.
void DrawShadowOutlines(Gdiplus::Graphics& g, const RECT& client, int size, int radius, const CShadowPens& pens);
// The same, every outline drawn whole, at any size: what the nine parts stand for
// (GDI+ goes over a path's whole box, so a full-screen shadow drawn this way
// costs 60-220 ms under Wine).
void DrawShadowOutlinesWhole(Gdiplus::Graphics& g, const RECT& client, int size, int radius,
                             const CShadowPens& pens);

class CShadowCtrl;
// Destroys the window of an owned shadow, deletes the shadow and nulls the pointer.
void DeleteShadow(CShadowCtrl*& shadow);

class CShadowCtrl : public CWindowCtrl {
public:
    CShadowCtrl();
    ~CShadowCtrl() override;

    void OnCreate(CREATESTRUCTW* cs) override;
    void OnDestroy() override;
    void OnShowWindow(BOOL show, int status) override;
    // Draws the outlines through one layered update with constant alpha (0..255).
    virtual void Repaint(int alpha);

    // The lighter grey of popup menus; same alphas.
    void UseLightColors();
    // Moves the shadow around `ownerRect` (a window rectangle in screen coordinates).
    void GlueTo(const RECT& ownerRect);
    // The owner's window is being destroyed: the shadow leaves the screen now and
    // its window closes once the owner's destruction is over (the close is posted).
    void HideAndClose();
    // The outline drawing on a transparent surface of the given client rectangle.
    void DrawOutlines(Gdiplus::Graphics& g, const RECT& client);

    UpdateLayeredWindowFn updateLayeredWindow;
    int size;
    int radius;
    CShadowPens pens;  // made on creation, deleted on destruction of the window
    Gdiplus::ARGB colors[3];
};
