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
    // Every arc, with its pen and its smoothing, lies within `k` pixels of its corner;
    // between the corners each outline is straight, so each row (column) of an edge
    // repeats. The small drawing is 2k + 5 wide: k for each corner, 5 of edge between
    // them, which the edges repeat pixel for pixel.
    const int k = size + 2 * radius + 4;
    const int m = 5;
    const int n = 2 * k + m;
    const int w = client.right - client.left, h = client.bottom - client.top;
    if (w <= n || h <= n) {
        DrawShadowOutlinesWhole(g, client, size, radius, pens);
        return;
    }
    // Drawn on the kind of surface a layered update draws on (a 32-bit DIB through a
    // device context): GDI+ lays the same pen a pixel differently on a bitmap of its own.
    void* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP dib = CreateDib32(dc, n, -n, &bits);  // top-down, as the bitmap below reads it
    if (!dib || !bits) {
        if (dc) DeleteDC(dc);
        DrawShadowOutlinesWhole(g, client, size, radius, pens);
        return;
    }
    HGDIOBJ old = SelectObject(dc, dib);
    {
        Graphics pg(dc);
        pg.SetSmoothingMode(g.GetSmoothingMode());
        DrawShadowOutlinesWhole(pg, RECT{0, 0, n, n}, size, radius, pens);
    }
    GdiFlush();
    Bitmap part(n, n, n * 4, PixelFormat32bppPARGB, static_cast<BYTE*>(bits));
    const GraphicsState state = g.Save();
    // Pixels copied, neither resampled nor smoothed at the pieces' sides (GDI+ reads
    // nothing beyond a source rectangle when it scales, so edges are tiled, not stretched).
    g.SetInterpolationMode(InterpolationModeNearestNeighbor);
    g.SetSmoothingMode(SmoothingModeNone);
    const int l = client.left, t = client.top, r = client.right - k, b = client.bottom - k, f = k + m;
    g.DrawImage(&part, Rect(l, t, k, k), 0, 0, k, k, UnitPixel);
    g.DrawImage(&part, Rect(r, t, k, k), f, 0, k, k, UnitPixel);
    g.DrawImage(&part, Rect(l, b, k, k), 0, f, k, k, UnitPixel);
    g.DrawImage(&part, Rect(r, b, k, k), f, f, k, k, UnitPixel);
    struct Edge {
        int sx, sy, sw, sh, x, y, w, h;
    } const edges[] = {
        {k, 0, m, k, l + k, t, w - 2 * k, k},  // top
        {k, f, m, k, l + k, b, w - 2 * k, k},  // bottom
        {0, k, k, m, l, t + k, k, h - 2 * k},  // left
        {f, k, k, m, r, t + k, k, h - 2 * k},  // right
    };
    for (const Edge& edge : edges) {
        TextureBrush tile(&part, WrapModeTile, edge.sx, edge.sy, edge.sw, edge.sh);
        tile.TranslateTransform(static_cast<REAL>(edge.x), static_cast<REAL>(edge.y));
        g.FillRectangle(&tile, edge.x, edge.y, edge.w, edge.h);
    }
    g.Restore(state);
    SelectObject(dc, old);
    DeleteObject(dib);
    DeleteDC(dc);
}

void DrawShadowOutlinesWhole(Graphics& g, const RECT& client, int size, int radius, const CShadowPens& pens) {
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
