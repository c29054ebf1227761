#include "ui/ShadowCtrl.h"

#include "ui/ImageRes.h"
#include "ui/ToolkitMath.h"

using namespace Gdiplus;

namespace {
const REAL kPenWidths[3] = {2.0f, 2.0f, 4.0f};
}

CShadowCtrl::CShadowCtrl()
    : updateLayeredWindow(nullptr),
      size(6),
      radius(3),
      pens{nullptr, nullptr, nullptr},
      colors{0x0F8A8A8A, 0x328A8A8A, 0x648A8A8A} {
    SetClassName(L"ShadowCtrl");
}

CShadowCtrl::~CShadowCtrl() { DeletePens(); }

void CShadowCtrl::DeletePens() {
    for (Pen*& p : pens) {
        delete p;
        p = nullptr;
    }
}

void CShadowCtrl::CreatePens() {
    DeletePens();
    for (int i = 0; i < 3; ++i) pens[i] = new Pen(Color(colors[i]), kPenWidths[i]);
}

void CShadowCtrl::UseLightColors() {
    colors[0] = 0x0F9E9E9E;
    colors[1] = 0x329E9E9E;
    colors[2] = 0x649E9E9E;
    CreatePens();
}

void CShadowCtrl::OnCreate(CREATESTRUCTW*) {
    SetWindowLongW(hwnd, GWL_STYLE, GetWindowLongW(hwnd, GWL_STYLE) | WS_CLIPCHILDREN);
    SetWindowLongW(hwnd, GWL_EXSTYLE, (GetWindowLongW(hwnd, GWL_EXSTYLE) & ~WS_EX_APPWINDOW) | WS_EX_TOOLWINDOW);
    CreatePens();
    updateLayeredWindow = LayeredEnable(hwnd);
}

void CShadowCtrl::OnDestroy() { DeletePens(); }

void CShadowCtrl::OnShowWindow(BOOL show, int) {
    if (show) Repaint(255);
}

void CShadowCtrl::DrawOutlines(Graphics& g, const RECT& client) {
    toolkit::ShadowOutline outlines[3];
    toolkit::ShadowOutlines(client, size, radius, outlines);
    for (int i = 0; i < 3; ++i) {
        if (!pens[i]) continue;
        const toolkit::ShadowOutline& o = outlines[i];
        GraphicsPath path;
        AddRoundRectPath(path, (REAL)o.left, (REAL)o.top, (REAL)o.right, (REAL)o.bottom, (REAL)o.radius,
                         (REAL)o.radius);
        g.DrawPath(pens[i], &path);
    }
}

void CShadowCtrl::Repaint(int alpha) {
    if (!updateLayeredWindow) return;
    RECT client = {0, 0, 0, 0};
    GetClientRect(hwnd, &client);
    LayeredUpdate(hwnd, updateLayeredWindow, [this, client](Graphics& g) { DrawOutlines(g, client); },
                  (BYTE)(alpha < 0 ? 0 : alpha > 255 ? 255 : alpha));
}

void CShadowCtrl::GlueTo(const RECT& ownerRect) { MoveTo(toolkit::ShadowRectAround(ownerRect, size)); }
