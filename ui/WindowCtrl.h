// Base of every window object: class registration, creation, the shared window
// procedure that routes messages to virtual handlers, and two painting helpers
// (CSanDC for double-buffered painting, the layered per-pixel-alpha update).
#pragma once

#include <windows.h>
#include <functional>

class CAppManager;
namespace Gdiplus {
class Graphics;
}

typedef BOOL(WINAPI* UpdateLayeredWindowFn)(HWND, HDC, POINT*, SIZE*, HDC, POINT*, COLORREF, BLENDFUNCTION*, DWORD);

class CWindowCtrl {
public:
    CWindowCtrl();
    virtual ~CWindowCtrl();

    virtual HWND Create(DWORD exStyle, const wchar_t* className, const wchar_t* windowName, DWORD style,
                        const RECT& rect, HWND parent);
    virtual HWND Create(DWORD exStyle, const wchar_t* className, const wchar_t* windowName, DWORD style, int x,
                        int y, int width, int height, HWND parent);
    virtual int DoModal(const wchar_t* templateName, HWND parent);
    virtual void SetClassName(const wchar_t* name);
    virtual int PreTranslateMessage(MSG* msg);
    virtual LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    virtual void OnCreate(CREATESTRUCTW* cs);
    virtual void OnDestroy();
    virtual void OnMove(int x, int y);
    virtual void OnSize(UINT type, int cx, int cy);
    virtual void OnWindowPosChanging(WINDOWPOS* pos);
    virtual LRESULT OnNcHitTest(int x, int y);
    virtual void OnGetMinMaxInfo(MINMAXINFO* info);
    virtual void OnShowWindow(BOOL show, int status);
    virtual void OnTimer(UINT_PTR id);
    virtual void OnSetCursor(WPARAM wParam);

    void Show(int cmdShow);
    void MoveTo(const RECT& rect);
    void GetRect(RECT& out);

    // Routes one message to the handlers (see the window procedure).
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);

    static LRESULT CALLBACK SharedWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    // The same routing for windows made from dialog templates: only HandleMessage
    // runs, and unhandled messages answer FALSE so the dialog manager does its part.
    static INT_PTR CALLBACK SharedDialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    static bool RegisterWindowClass(const wchar_t* name);

    HWND hwnd;
    CAppManager* manager;  // not owned: the manager of the thread that made the window
    int dialogResult;
    wchar_t className[64];

private:
    CWindowCtrl(const CWindowCtrl&) = delete;
    CWindowCtrl& operator=(const CWindowCtrl&) = delete;
};

// Layered mode, for windows drawn with per-pixel alpha. LayeredEnable adds
// WS_EX_LAYERED when user32 is loaded and returns UpdateLayeredWindow resolved
// from it (null when missing: the window keeps ordinary painting). The caller
// keeps the function per window object.
UpdateLayeredWindowFn LayeredEnable(HWND hwnd);
// A zeroed 32-bit DIB section of `dc`'s kind: bottom-up for a positive `height`,
// top-down for a negative one; its pixels in `*bits`. Null when it cannot be made.
HBITMAP CreateDib32(HDC dc, int width, int height, void** bits);
// One layered update: `draw` paints the client area into a zeroed 32-bit DIB
// (GDI+ writes premultiplied ARGB there), which goes to `fn` with the given
// constant alpha. False when nothing could be handed over.
bool LayeredUpdate(HWND hwnd, UpdateLayeredWindowFn fn, const std::function<void(Gdiplus::Graphics&)>& draw,
                   BYTE alpha);

// Off-screen memory DC for one flicker-free paint; copies back on destruction.
// With an update rectangle the memory DC holds only that rectangle: its (0, 0) is
// the rectangle's top left, so drawing in client coordinates is shifted by the
// caller (a Graphics' TranslateTransform).
class CSanDC {
public:
    CSanDC(HDC target, const RECT& client, const RECT* update = nullptr);
    virtual ~CSanDC();
    operator HDC() const { return memoryDC; }

    HBITMAP bitmap;     // owned
    HGDIOBJ oldBitmap;  // not owned: put back into memoryDC at the end
    RECT rect;
    HDC memoryDC;  // owned
    HDC targetDC;  // not owned

private:
    CSanDC(const CSanDC&) = delete;
    CSanDC& operator=(const CSanDC&) = delete;
};
