#include "frame/FrameGame.h"

#include "app/AppManager.h"

CFrameGame::CFrameGame() : inGameLayout(false), fullScreen(false) { SetClassName(L"velmarcorve"); }

CFrameGame::~CFrameGame() {}

void CFrameGame::CreateAndRun() {
    CAppManager* m = CAppManager::FromCurrentThread();
    if (!m) return;
    RECT work;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    int w = 1230, h = 728;
    int x = work.left + ((work.right - work.left) - w) / 2, y = work.top + ((work.bottom - work.top) - h) / 2;
    if (!Create(0, nullptr, L"Vornmark", WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, x, y, w, h, nullptr))
        return;
    ShowWindow(hwnd, SW_SHOW);
    MSG msg;
    while (hwnd && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!m->PreTranslate(&msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

LRESULT CFrameGame::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        RECT rc;
        GetClientRect(hwnd, &rc);
        HBRUSH brush = CreateSolidBrush(RGB(16, 28, 48));
        FillRect(dc, &rc, brush);
        DeleteObject(brush);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(230, 200, 120));
        DrawTextW(dc, L"Vornmark", -1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        EndPaint(hwnd, &ps);
        return 1;
    }
    case WM_FRAME_COMMAND:
        if (wParam == FRAME_CMD_ENTER_GAME) inGameLayout = true;
        else if (wParam == FRAME_CMD_TOGGLE_FULLSCREEN) fullScreen = !fullScreen;
        else if (wParam == FRAME_CMD_LEAVE_FULLSCREEN) fullScreen = false;
        return 1;
    default:
        return 0;
    }
}
