// A skinned window with its own modal message loop and a result code. The
// owner creates the window, calls RunModal and reads `result` afterwards.
#pragma once

#include <windows.h>
#include "ui/ImageCtrl.h"

class CImageDialog : public CImageCtrl {
public:
    CImageDialog();
    ~CImageDialog() override;

    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

    // Serves every window of the thread until the dialog ends (a handler clears
    // modalRunning, the window goes away, or WM_QUIT). False when it did not run:
    // another thread, or already running.
    bool RunModal();

    bool modalRunning;
    int result;
};
