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

    // Layered mode: adds WS_EX_LAYERED and resolves UpdateLayeredWindow. False when
    // the function is unavailable; the window then keeps ordinary painting.
    bool EnableLayered();
    bool IsLayered() const { return updateLayered != nullptr; }
    // Draws the whole client area with `draw` into a 32-bit premultiplied DIB and
    // hands it to UpdateLayeredWindow with the given constant alpha.
    bool UpdateLayered(const std::function<void(Gdiplus::Graphics&)>& draw, BYTE alpha = 255);

    static LRESULT CALLBACK SharedWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    static bool RegisterWindowClass(const wchar_t* name);

    HWND hwnd;
    CAppManager* manager;
    int dialogResult;
    wchar_t className[64];

protected:
    UpdateLayeredWindowFn updateLayered;

private:
    CWindowCtrl(const CWindowCtrl&) = delete;
    CWindowCtrl& operator=(const CWindowCtrl&) = delete;
};

// Off-screen memory DC for one flicker-free paint; copies back on destruction.
class CSanDC {
public:
    CSanDC(HDC target, const RECT& client, const RECT* update = nullptr);
    virtual ~CSanDC();
    operator HDC() const { return memoryDC; }

    HBITMAP bitmap;
    HGDIOBJ oldBitmap;
    RECT rect;
    HDC memoryDC;
    HDC targetDC;

private:
    CSanDC(const CSanDC&) = delete;
    CSanDC& operator=(const CSanDC&) = delete;
};
