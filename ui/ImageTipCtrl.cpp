#include "ui/ImageTipCtrl.h"

#include "ui/ImageRes.h"

using namespace Gdiplus;

CImageTipCtrl::CImageTipCtrl()
    : text{0}, font(nullptr), backgroundBrush(nullptr), textBrush(nullptr), borderPen(nullptr) {}

CImageTipCtrl::~CImageTipCtrl() { DeleteResources(); }

void CImageTipCtrl::CreateResources() {
    DeleteResources();
    font = CreateToolkitFont(kTipFontFamily, 9);
    backgroundBrush = new SolidBrush(Color(0xFFFCFCFC));
    borderPen = new Pen(Color(0xFF8A8A8A), 1.0f);
    textBrush = new SolidBrush(Color(0xFF000000));
}

void CImageTipCtrl::DeleteResources() {
    delete font;
    delete backgroundBrush;
    delete textBrush;
    delete borderPen;
    font = nullptr;
    backgroundBrush = nullptr;
    textBrush = nullptr;
    borderPen = nullptr;
}

LRESULT CImageTipCtrl::HandleMessage(UINT msg, WPARAM, LPARAM) {
    switch (msg) {
    case WM_CREATE: CreateResources(); break;
    case WM_DESTROY: DeleteResources(); break;
    case WM_PAINT: Paint(); break;
    default: break;
    }
    return 0;
}

SIZE CImageTipCtrl::MeasureText() {
    SIZE size = {0, 0};
    if (!font || !text[0]) return size;
    HDC dc = GetDC(hwnd);
    RectF box;
    {
        Graphics g(dc);
        StringFormat format(0, LANG_NEUTRAL);
        SetupTextFormat(format, StringAlignmentNear);
        g.MeasureString(text, -1, font, RectF(0, 0, 500, 200), &format, &box);
    }
    ReleaseDC(hwnd, dc);
    size.cx = (LONG)box.Width;
    size.cy = (LONG)box.Height;
    return size;
}

void CImageTipCtrl::OnTimer(UINT_PTR id) {
    if (id != kTimerId) return;
    KillTimer(hwnd, kTimerId);
    POINT cursor;
    GetCursorPos(&cursor);
    if (!text[0]) return;
    SIZE size = MeasureText();
    MoveWindow(hwnd, cursor.x + 15, cursor.y + 15, size.cx + 5, size.cy + 4, TRUE);
    ShowWindow(hwnd, SW_SHOWNOACTIVATE);
}

void CImageTipCtrl::Paint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    if (!dc) return;
    RECT client;
    GetClientRect(hwnd, &client);
    int width = client.right - client.left, height = client.bottom - client.top;
    {
        CSanDC buffer(dc, client);
        Graphics g(buffer.memoryDC);  // gone before the buffer is copied back
        g.SetSmoothingMode(SmoothingModeHighQuality);
        if (backgroundBrush) g.FillRectangle(backgroundBrush, client.left - 1, client.top - 1, width + 1, height + 1);
        if (font && textBrush && text[0]) {
            StringFormat format(0, LANG_NEUTRAL);
            SetupTextFormat(format, StringAlignmentNear);
            RectF layout((REAL)client.left + 2, (REAL)client.top + 2, (REAL)width - 4, (REAL)height - 4);
            g.DrawString(text, -1, font, layout, &format, textBrush);
        }
        if (borderPen) g.DrawRectangle(borderPen, client.left, client.top, width - 1, height - 1);
    }
    EndPaint(hwnd, &ps);
}
