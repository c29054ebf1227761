#include "ui/WindowCtrl.h"

#include <gdiplus.h>
#include <cwchar>
#include <string>
#include <vector>
#include "ui/AppManager.h"

namespace {
// Class names this process registered; guarded by the manager registry's lock.
std::vector<std::wstring> g_registeredClasses;

CAppManager* CurrentManager() {
    CAppManager* m = CAppManager::FastPointer();
    return m ? m : CAppManager::FromCurrentThread();
}
}  // namespace

CWindowCtrl::CWindowCtrl() : hwnd(nullptr), manager(nullptr), dialogResult(0) {
    memset(className, 0, sizeof(className));
    wcscpy(className, L"ImageWnd");
}

CWindowCtrl::~CWindowCtrl() {
    HWND remembered = hwnd;
    if (manager && remembered) manager->RemoveWindow(remembered);
    hwnd = nullptr;
    // Detached now: the close reaches the window procedure as an orphan and
    // DefWindowProcW destroys the window.
    if (remembered && IsWindow(remembered)) PostMessageW(remembered, WM_CLOSE, 0, 0);
}

HWND CWindowCtrl::Create(DWORD exStyle, const wchar_t* cls, const wchar_t* windowName, DWORD style,
                         const RECT& rect, HWND parent) {
    return Create(exStyle, cls, windowName, style, rect.left, rect.top, rect.right - rect.left,
                  rect.bottom - rect.top, parent);
}

HWND CWindowCtrl::Create(DWORD exStyle, const wchar_t* cls, const wchar_t* windowName, DWORD style, int x, int y,
                         int width, int height, HWND parent) {
    CAppManager* m = CAppManager::FromCurrentThread();
    if (!m) return nullptr;
    if (hwnd && IsWindow(hwnd)) return hwnd;
    if (cls && cls[0]) SetClassName(cls);
    if (!RegisterWindowClass(className)) return nullptr;
    manager = m;
    hwnd = CreateWindowExW(exStyle, className, windowName, style, x, y, width, height, parent, nullptr,
                           g_toolkitInstance, this);
    return hwnd;
}

int CWindowCtrl::DoModal(const wchar_t* templateName, HWND parent) {
    CAppManager* m = CAppManager::FromCurrentThread();
    if (!m) return 0;
    if (!hwnd && RegisterWindowClass(className)) {
        manager = m;
        // The object travels as the init parameter so the dialog procedure can attach it.
        dialogResult = (int)DialogBoxParamW(GetModuleHandleW(nullptr), templateName, parent, SharedDialogProc,
                                            reinterpret_cast<LPARAM>(this));
    }
    return dialogResult;
}

void CWindowCtrl::SetClassName(const wchar_t* name) {
    if (!name) return;
    memset(className, 0, sizeof(className));
    wcsncpy(className, name, 63);  // longer names are cut to 63 units
}

int CWindowCtrl::PreTranslateMessage(MSG*) { return 0; }
LRESULT CWindowCtrl::HandleMessage(UINT, WPARAM, LPARAM) { return 0; }
void CWindowCtrl::OnCreate(CREATESTRUCTW*) {}
void CWindowCtrl::OnDestroy() {}
void CWindowCtrl::OnMove(int, int) {}
void CWindowCtrl::OnSize(UINT, int, int) {}
void CWindowCtrl::OnWindowPosChanging(WINDOWPOS*) {}
LRESULT CWindowCtrl::OnNcHitTest(int, int) { return HTCLIENT; }
void CWindowCtrl::OnGetMinMaxInfo(MINMAXINFO*) {}
void CWindowCtrl::OnShowWindow(BOOL, int) {}
void CWindowCtrl::OnTimer(UINT_PTR) {}
void CWindowCtrl::OnSetCursor(WPARAM) { SetCursor(LoadCursorW(nullptr, IDC_ARROW)); }

void CWindowCtrl::Show(int cmdShow) {
    if (IsWindow(hwnd)) ShowWindow(hwnd, cmdShow);
}

void CWindowCtrl::MoveTo(const RECT& r) {
    if (IsWindow(hwnd)) MoveWindow(hwnd, r.left, r.top, r.right - r.left, r.bottom - r.top, TRUE);
}

void CWindowCtrl::GetRect(RECT& out) {
    if (IsWindow(hwnd)) GetWindowRect(hwnd, &out);
}

bool CWindowCtrl::RegisterWindowClass(const wchar_t* name) {
    {
        std::lock_guard<std::mutex> lock(CAppManager::RegistryLock());
        for (const std::wstring& n : g_registeredClasses)
            if (n == name) return true;
    }
    WNDCLASSEXW wc;
    memset(&wc, 0, sizeof(wc));
    wc.cbSize = sizeof(WNDCLASSEXW);
    wc.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = SharedWindowProc;
    wc.hInstance = g_toolkitInstance;
    wc.lpszClassName = name;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    std::lock_guard<std::mutex> lock(CAppManager::RegistryLock());
    g_registeredClasses.push_back(name);
    return true;
}

LRESULT CALLBACK CWindowCtrl::SharedWindowProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
    CAppManager* m = CurrentManager();
    if (!m) return DefWindowProcW(h, msg, wParam, lParam);
    CWindowCtrl* object = m->WindowFromHandle(h);
    if (msg == WM_NCCREATE) {
        CREATESTRUCTW* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
        CWindowCtrl* created = cs ? static_cast<CWindowCtrl*>(cs->lpCreateParams) : nullptr;
        if (created) {
            created->hwnd = h;
            created->manager = m;
            m->AddWindow(h, created);
            object = created;
        }
    } else if (msg == WM_NCDESTROY && object) {
        m->RemoveWindow(h);
        // The object still sees this last message; its hwnd is null from here on.
        LRESULT r = object->HandleMessage(msg, wParam, lParam);
        return r ? r : DefWindowProcW(h, msg, wParam, lParam);
    }
    if (object) return object->WindowProc(msg, wParam, lParam);
    m->OnOrphanMessage(h, msg, wParam, lParam);
    return DefWindowProcW(h, msg, wParam, lParam);
}

LRESULT CWindowCtrl::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    HWND h = hwnd;
    LRESULT handled = HandleMessage(msg, wParam, lParam);
    if (handled) return handled;
    int x = (short)LOWORD(lParam), y = (short)HIWORD(lParam);
    switch (msg) {
    case WM_CREATE: OnCreate(reinterpret_cast<CREATESTRUCTW*>(lParam)); break;
    case WM_DESTROY: OnDestroy(); break;
    case WM_MOVE: OnMove(x, y); break;
    case WM_SIZE: OnSize((UINT)wParam, x, y); break;
    case WM_SHOWWINDOW: OnShowWindow((BOOL)wParam, (int)lParam); break;
    case WM_SETCURSOR: OnSetCursor(wParam); break;
    case WM_GETMINMAXINFO: OnGetMinMaxInfo(reinterpret_cast<MINMAXINFO*>(lParam)); break;
    case WM_WINDOWPOSCHANGING: OnWindowPosChanging(reinterpret_cast<WINDOWPOS*>(lParam)); break;
    case WM_NCHITTEST: return OnNcHitTest(x, y);
    case WM_TIMER: OnTimer(wParam); return 1;
    default: break;
    }
    return DefWindowProcW(h, msg, wParam, lParam);
}

INT_PTR CALLBACK CWindowCtrl::SharedDialogProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
    CAppManager* m = CurrentManager();
    if (!m) return FALSE;
    CWindowCtrl* object = m->WindowFromHandle(h);
    if (msg == WM_INITDIALOG && !object && lParam) {
        object = reinterpret_cast<CWindowCtrl*>(lParam);
        object->hwnd = h;
        object->manager = m;
        m->AddWindow(h, object);
    }
    if (!object) return FALSE;
    if (msg == WM_NCDESTROY) m->RemoveWindow(h);
    LRESULT r = object->HandleMessage(msg, wParam, lParam);
    if (!r) return FALSE;
    SetWindowLongPtrW(h, DWLP_MSGRESULT, r);
    return TRUE;
}

UpdateLayeredWindowFn LayeredEnable(HWND hwnd) {
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    if (!user32 || !IsWindow(hwnd)) return nullptr;
    SetWindowLongW(hwnd, GWL_EXSTYLE, GetWindowLongW(hwnd, GWL_EXSTYLE) | WS_EX_LAYERED);
    return reinterpret_cast<UpdateLayeredWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(user32, "UpdateLayeredWindow")));
}

HBITMAP CreateDib32(HDC dc, int width, int height, void** bits) {
    BITMAPINFO bmi;
    memset(&bmi, 0, sizeof(bmi));
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = width;
    bmi.bmiHeader.biHeight = height;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    *bits = nullptr;
    return dc ? CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, bits, nullptr, 0) : nullptr;
}

bool LayeredUpdate(HWND hwnd, UpdateLayeredWindowFn fn, const std::function<void(Gdiplus::Graphics&)>& draw,
                   BYTE alpha) {
    if (!fn || !IsWindow(hwnd)) return false;
    HDC windowDC = GetDC(hwnd);
    RECT client;
    GetClientRect(hwnd, &client);
    int width = client.right - client.left, height = client.bottom - client.top;
    HDC memDC = CreateCompatibleDC(windowDC);
    void* bits = nullptr;
    HBITMAP dib = (width > 0 && height > 0) ? CreateDib32(memDC, width, height, &bits) : nullptr;
    bool ok = false;
    if (dib) {
        HGDIOBJ old = SelectObject(memDC, dib);
        SetBkMode(memDC, TRANSPARENT);
        {
            // Its end commits every pending pixel to the DIB before it is handed over.
            Gdiplus::Graphics g(memDC);
            g.SetSmoothingMode(Gdiplus::SmoothingModeHighQuality);
            if (draw) draw(g);
        }
        RECT wr;
        GetWindowRect(hwnd, &wr);
        POINT position = {wr.left, wr.top};
        SIZE size = {width, height};
        POINT origin = {0, 0};
        BLENDFUNCTION blend = {AC_SRC_OVER, 0, alpha, AC_SRC_ALPHA};
        HDC screen = GetDC(nullptr);
        ok = fn(hwnd, screen, &position, &size, memDC, &origin, 0, &blend, ULW_ALPHA) != FALSE;
        ReleaseDC(nullptr, screen);
        SelectObject(memDC, old);
        DeleteObject(dib);
    }
    DeleteDC(memDC);
    ReleaseDC(hwnd, windowDC);
    return ok;
}

CSanDC::CSanDC(HDC target, const RECT& client, const RECT* update)
    : bitmap(nullptr), oldBitmap(nullptr), rect(update ? *update : client), memoryDC(nullptr), targetDC(target) {
    memoryDC = CreateCompatibleDC(target);
    // Only as large as what is copied back: a maximised client's whole bitmap (8 MB)
    // made and dropped at each repaint of a line of text costs more than the drawing.
    bitmap = CreateCompatibleBitmap(target, rect.right - rect.left, rect.bottom - rect.top);
    oldBitmap = SelectObject(memoryDC, bitmap);
}

CSanDC::~CSanDC() {
    BitBlt(targetDC, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, memoryDC, 0, 0, SRCCOPY);
    SelectObject(memoryDC, oldBitmap);
    DeleteObject(bitmap);
    DeleteDC(memoryDC);
}
