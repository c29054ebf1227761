// Helpers of the toolkit tests: GDI object counting, capturing what reaches
// UpdateLayeredWindow, pixels of GDI+ drawings and mouse input into a window.
#pragma once

#include <windows.h>
#include <gdiplus.h>
#include <functional>
#include <vector>

namespace uitest {

// GDI objects of this process: GetGuiResources where it counts, else the
// entries of the process's GDI handle table (Wine answers 0 to GetGuiResources).
int GdiObjectCount();
// Top-level windows of this thread.
int ThreadWindowCount(const wchar_t* className = nullptr);

// Stands in for UpdateLayeredWindow: copies the source DIB (top-down ARGB,
// premultiplied as handed over) and the blend, then calls the real function.
struct LayeredCapture {
    int calls = 0;
    int width = 0, height = 0;
    BYTE constantAlpha = 0;
    BYTE alphaFormat = 0;
    DWORD flags = 0;
    std::vector<DWORD> pixels;
    DWORD At(int x, int y) const { return pixels[(size_t)y * width + x]; }
    BYTE AlphaAt(int x, int y) const { return (BYTE)(At(x, y) >> 24); }
};
// The capture that the next calls of CapturingUpdateLayeredWindow fill.
void SetLayeredCapture(LayeredCapture* capture);
BOOL WINAPI CapturingUpdateLayeredWindow(HWND, HDC, POINT*, SIZE*, HDC, POINT*, COLORREF, BLENDFUNCTION*, DWORD);

// Renders `draw` into a transparent 32-bit ARGB bitmap and returns its pixels (ARGB, not premultiplied).
struct Canvas {
    int width = 0, height = 0;
    std::vector<DWORD> pixels;
    DWORD At(int x, int y) const { return pixels[(size_t)y * width + x]; }
};
Canvas Render(int width, int height, const std::function<void(Gdiplus::Graphics&)>& draw);
// Pixel of a GDI+ image, ARGB.
DWORD ImagePixel(Gdiplus::Image* image, int x, int y);

// Puts the cursor on the client point and sends the mouse message there, as
// the system would for a mouse over the window.
void MouseAt(HWND hwnd, int x, int y);
LRESULT SendMouse(HWND hwnd, UINT msg, int x, int y, WPARAM keys = 0);

// The window is shown and nothing is pending for it.
void Settle(DWORD ms = 50);

}  // namespace uitest
