#include "ui/ImageDialog.h"

#include "ui/AppManager.h"

CImageDialog::CImageDialog() : modalRunning(false), result(IDCANCEL) { SetClassName(L"ImageDialog"); }

CImageDialog::~CImageDialog() {}

LRESULT CImageDialog::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_DESTROY) modalRunning = false;
    return CImageCtrl::HandleMessage(msg, wParam, lParam);
}

bool CImageDialog::RunModal() {
    HWND window = hwnd;
    CAppManager* m = manager;
    if (!m || GetCurrentThreadId() != m->threadId || modalRunning) return false;
    modalRunning = true;
    // A window that is already gone has nothing to wait for; waiting for a
    // message first could block for good.
    if (!IsWindow(window)) {
        modalRunning = false;
        return true;
    }
    MSG msg;
    // GetMessageW answers -1 on failure; that ends the loop like WM_QUIT.
    if (GetMessageW(&msg, nullptr, 0, 0) <= 0) {
        modalRunning = false;
        return true;
    }
    while (modalRunning) {
        if (!m->PreTranslate(&msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (msg.message == WM_DESTROY && msg.hwnd == window) {
            PostQuitMessage((int)msg.wParam);
            modalRunning = false;
            return true;
        }
        if (!IsWindow(window)) {
            modalRunning = false;
            return true;
        }
        if (!modalRunning) break;
        if (GetMessageW(&msg, nullptr, 0, 0) <= 0) {
            modalRunning = false;
            return true;
        }
    }
    return true;
}
