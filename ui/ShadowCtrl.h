// A drop shadow: a layered popup a few pixels larger than its owner on every
// side, drawing three translucent rounded outlines. The owner glues it to its
// own window rectangle and shows and hides it with itself.
#pragma once

#include <windows.h>
#include <gdiplus.h>
#include "ui/WindowCtrl.h"

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
    // The outline drawing on a transparent surface of the given client rectangle.
    void DrawOutlines(Gdiplus::Graphics& g, const RECT& client);

    UpdateLayeredWindowFn updateLayeredWindow;
    int size;
    int radius;
    Gdiplus::Pen* pens[3];
    Gdiplus::ARGB colors[3];

private:
    void CreatePens();
    void DeletePens();
};
