#include "ui/ImageCtrlEx.h"

CImageCtrlEx::CImageCtrlEx() { SetClassName(L"ImageList"); }

CImageCtrlEx::~CImageCtrlEx() {}

LRESULT CImageCtrlEx::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) list.owner = hwnd;
    return list.HandleMessage(msg, wParam, lParam) ? 1 : 0;
}
