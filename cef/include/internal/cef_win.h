// Window creation details of a windowed browser on Windows.
#pragma once

#include <windows.h>
#include "include/internal/cef_string.h"

typedef HWND cef_window_handle_t;
typedef HCURSOR cef_cursor_handle_t;
typedef cef_window_handle_t CefWindowHandle;

typedef struct _cef_window_info_t {
    DWORD ex_style;
    cef_string_t window_name;
    DWORD style;
    int x;
    int y;
    int width;
    int height;
    cef_window_handle_t parent_window;
    HMENU menu;
    int windowless_rendering_enabled;
    int transparent_painting_enabled;
    // Set by the layer: the browser's own window.
    cef_window_handle_t window;
} cef_window_info_t;

// Owns the string of its structure; copies are deep.
class CefWindowInfo : public cef_window_info_t {
public:
    CefWindowInfo() { Init(); }
    CefWindowInfo(const CefWindowInfo& r) { Init(); *this = r; }
    CefWindowInfo(const cef_window_info_t& r) { Init(); *this = r; }
    ~CefWindowInfo() { cef_string_clear(&window_name); }
    CefWindowInfo& operator=(const cef_window_info_t& r) {
        if (&r == this) return *this;
        cef_string_t name = r.window_name;
        cef_string_t copy = {nullptr, 0, nullptr};
        cef_string_set(name.str, name.length, &copy, 1);
        cef_string_clear(&window_name);
        *static_cast<cef_window_info_t*>(this) = r;
        window_name = copy;
        return *this;
    }
    CefWindowInfo& operator=(const CefWindowInfo& r) { return *this = static_cast<const cef_window_info_t&>(r); }

    // A child window of `parent` at the given rectangle (client coordinates of the parent).
    void SetAsChild(CefWindowHandle parent, RECT windowRect) {
        style = WS_CHILD | WS_CLIPCHILDREN | WS_CLIPSIBLINGS | WS_TABSTOP | WS_VISIBLE;
        parent_window = parent;
        x = windowRect.left;
        y = windowRect.top;
        width = windowRect.right - windowRect.left;
        height = windowRect.bottom - windowRect.top;
    }
    // A top-level popup window owned by `parent`.
    void SetAsPopup(CefWindowHandle parent, const CefString& windowName) {
        style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_CLIPSIBLINGS | WS_VISIBLE;
        parent_window = parent;
        x = CW_USEDEFAULT;
        y = CW_USEDEFAULT;
        width = CW_USEDEFAULT;
        height = CW_USEDEFAULT;
        std::wstring n = windowName.ToWString();
        cef_string_set(n.c_str(), n.size(), &window_name, 1);
    }
    void SetAsWindowless(CefWindowHandle parent, bool transparent) {
        windowless_rendering_enabled = 1;
        parent_window = parent;
        transparent_painting_enabled = transparent ? 1 : 0;
    }

private:
    void Init() { memset(static_cast<cef_window_info_t*>(this), 0, sizeof(cef_window_info_t)); }
};
