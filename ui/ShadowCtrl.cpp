#include "ui/ShadowCtrl.h"

#include <algorithm>
#include "base/ThreadCheck.h"
#include "ui/ImageRes.h"
#include "ui/ToolkitMath.h"

using namespace Gdiplus;

const ARGB kShadowColors[3] = {0x0F8A8A8A, 0x328A8A8A, 0x648A8A8A};
const ARGB kShadowLightColors[3] = {0x0F9E9E9E, 0x329E9E9E, 0x649E9E9E};

namespace {
const REAL kPenWidths[3] = {2.0f, 2.0f, 4.0f};
}

CShadowPens::CShadowPens() : pens_{nullptr, nullptr, nullptr} {}

CShadowPens::~CShadowPens() { Delete(); }

void CShadowPens::Create(const ARGB (&colors)[3]) {
    Delete();
    for (int i = 0; i < 3; ++i) pens_[i] = new Pen(Color(colors[i]), kPenWidths[i]);
}

void CShadowPens::Delete() {
    for (Pen*& p : pens_) {
        delete p;
        p = nullptr;
    }
}

void DrawShadowOutlines(Graphics& g, const RECT& client, int size, int radius, const CShadowPens& pens) {
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

CShadowCtrl::CShadowCtrl()
    : updateLayeredWindow(nullptr), size(toolkit::kShadowSize), radius(toolkit::kShadowRadius) {
    std::copy(kShadowColors, kShadowColors + 3, colors);
    SetClassName(L"ShadowCtrl");
}

CShadowCtrl::~CShadowCtrl() {}

void CShadowCtrl::UseLightColors() {
    std::copy(kShadowLightColors, kShadowLightColors + 3, colors);
    pens.Create(colors);
}

void CShadowCtrl::OnCreate(CREATESTRUCTW*) {
    SetWindowLongW(hwnd, GWL_STYLE, GetWindowLongW(hwnd, GWL_STYLE) | WS_CLIPCHILDREN);
    SetWindowLongW(hwnd, GWL_EXSTYLE, (GetWindowLongW(hwnd, GWL_EXSTYLE) & ~WS_EX_APPWINDOW) | WS_EX_TOOLWINDOW);
    pens.Create(colors);
    updateLayeredWindow = LayeredEnable(hwnd);
}

void CShadowCtrl::OnDestroy() { pens.Delete(); }

void CShadowCtrl::OnShowWindow(BOOL show, int) {
    if (show) Repaint(255);
}

void CShadowCtrl::DrawOutlines(Graphics& g, const RECT& client) { DrawShadowOutlines(g, client, size, radius, pens); }

void CShadowCtrl::Repaint(int alpha) {
    BASE_DCHECK_WINDOW_THREAD(hwnd);
    if (!updateLayeredWindow) return;
    RECT client = {0, 0, 0, 0};
    GetClientRect(hwnd, &client);
    LayeredUpdate(hwnd, updateLayeredWindow, [this, client](Graphics& g) { DrawOutlines(g, client); },
                  (BYTE)(alpha < 0 ? 0 : alpha > 255 ? 255 : alpha));
}

void CShadowCtrl::GlueTo(const RECT& ownerRect) { MoveTo(toolkit::ShadowRectAround(ownerRect, size)); }

void CShadowCtrl::HideAndClose() {
    if (!IsWindow(hwnd)) return;
    Show(SW_HIDE);
    PostMessageW(hwnd, WM_CLOSE, 0, 0);
}

void DeleteShadow(CShadowCtrl*& shadow) {
    if (!shadow) return;
    if (IsWindow(shadow->hwnd)) DestroyWindow(shadow->hwnd);
    delete shadow;
    shadow = nullptr;
}
