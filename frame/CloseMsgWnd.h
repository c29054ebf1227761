// The skinned question whether to close the game, with a confirm and a cancel
// button. The frame's close button runs one, the launcher's close button another.
#pragma once

#include <windows.h>
#include "ui/ImageDialog.h"

class CloseMsgWnd : public CImageDialog {
public:
    CloseMsgWnd();

    // Runs the dialog over `parent` until it is answered: 1 confirmed, 2
    // cancelled or closed otherwise, 0 when the dialog was already open (it is
    // brought to the front instead).
    int ShowModal(HWND parent);

    void OnCreate(CREATESTRUCTW* cs) override;
    bool OnItemClick(CImageButton* button) override;
};
