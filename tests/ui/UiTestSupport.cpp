#include "UiTestSupport.h"

#include "common/TestUtil.h"

namespace uitest {

namespace {
// One entry of the GDI handle table the process environment block points at.
#pragma pack(push, 1)
struct GdiHandleEntry {
    unsigned long long object;
    unsigned short processId;
    unsigned short count;
    unsigned short unique;
    unsigned char type;
    unsigned char flags;
    unsigned long long user;
};
#pragma pack(pop)
static_assert(sizeof(GdiHandleEntry) == 24, "GDI handle table entry");

LayeredCapture* g_capture = nullptr;
}  // namespace

int GdiObjectCount() {
    DWORD counted = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (counted) return (int)counted;
#if defined(_M_IX86) || defined(__i386__)
    unsigned char* peb = nullptr;
#if defined(__GNUC__)
    __asm__("movl %%fs:0x30, %0" : "=r"(peb));
#else
    peb = reinterpret_cast<unsigned char*>(__readfsdword(0x30));
#endif
    const GdiHandleEntry* table = *reinterpret_cast<GdiHandleEntry* const*>(peb + 0x94);
    if (!table) return -1;
    int n = 0;
    for (int i = 0; i < 0x10000; ++i)
        if (table[i].type) ++n;
    return n;
#else
    return -1;
#endif
}

namespace {
struct CountState {
    const wchar_t* cls;
    int n;
};
BOOL CALLBACK CountWindow(HWND h, LPARAM lp) {
    CountState* s = reinterpret_cast<CountState*>(lp);
    if (s->cls) {
        wchar_t cls[128] = {0};
        GetClassNameW(h, cls, 128);
        if (wcscmp(cls, s->cls) != 0) return TRUE;
    }
    ++s->n;
    return TRUE;
}
}  // namespace

int ThreadWindowCount(const wchar_t* className) {
    CountState s = {className, 0};
    EnumThreadWindows(GetCurrentThreadId(), CountWindow, reinterpret_cast<LPARAM>(&s));
    return s.n;
}

void SetLayeredCapture(LayeredCapture* capture) { g_capture = capture; }

BOOL WINAPI CapturingUpdateLayeredWindow(HWND hwnd, HDC screen, POINT* pos, SIZE* size, HDC src, POINT* origin,
                                         COLORREF key, BLENDFUNCTION* blend, DWORD flags) {
    if (g_capture && src && size) {
        LayeredCapture& c = *g_capture;
        ++c.calls;
        c.width = size->cx;
        c.height = size->cy;
        c.constantAlpha = blend ? blend->SourceConstantAlpha : 0;
        c.alphaFormat = blend ? blend->AlphaFormat : 0;
        c.flags = flags;
        c.pixels.assign((size_t)c.width * c.height, 0);
        HBITMAP bitmap = (HBITMAP)GetCurrentObject(src, OBJ_BITMAP);
        DIBSECTION dib;
        if (bitmap && GetObjectW(bitmap, sizeof(dib), &dib) == sizeof(dib) && dib.dsBm.bmBits &&
            dib.dsBm.bmBitsPixel == 32) {
            const DWORD* bits = static_cast<const DWORD*>(dib.dsBm.bmBits);
            bool bottomUp = dib.dsBmih.biHeight > 0;
            for (int y = 0; y < c.height && y < dib.dsBm.bmHeight; ++y) {
                const DWORD* line = bits + (size_t)(bottomUp ? dib.dsBm.bmHeight - 1 - y : y) * dib.dsBm.bmWidth;
                for (int x = 0; x < c.width && x < dib.dsBm.bmWidth; ++x) c.pixels[(size_t)y * c.width + x] = line[x];
            }
        }
    }
    return UpdateLayeredWindow(hwnd, screen, pos, size, src, origin, key, blend, flags);
}

Canvas Render(int width, int height, const std::function<void(Gdiplus::Graphics&)>& draw) {
    Canvas canvas;
    canvas.width = width;
    canvas.height = height;
    Gdiplus::Bitmap bitmap(width, height, PixelFormat32bppARGB);
    {
        Gdiplus::Graphics g(&bitmap);
        draw(g);
    }
    canvas.pixels.resize((size_t)width * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            Gdiplus::Color c;
            bitmap.GetPixel(x, y, &c);
            canvas.pixels[(size_t)y * width + x] = c.GetValue();
        }
    return canvas;
}

DWORD ImagePixel(Gdiplus::Image* image, int x, int y) {
    Gdiplus::Color c;
    static_cast<Gdiplus::Bitmap*>(image)->GetPixel(x, y, &c);
    return c.GetValue();
}

void MouseAt(HWND hwnd, int x, int y) {
    POINT pt = {x, y};
    ClientToScreen(hwnd, &pt);
    SetCursorPos(pt.x, pt.y);
    // Let the system's own mouse-move for the warp arrive first.
    testutil::PumpFor(20);
    SendMouse(hwnd, WM_MOUSEMOVE, x, y);
}

LRESULT SendMouse(HWND hwnd, UINT msg, int x, int y, WPARAM keys) {
    return SendMessageW(hwnd, msg, keys, MAKELPARAM((short)x, (short)y));
}

void Settle(DWORD ms) { testutil::PumpFor(ms); }

}  // namespace uitest
