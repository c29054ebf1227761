// The window behind the game frame. At first it is the launcher: the login
// artwork with a title band of portal buttons, minimise and close, the frame
// lying inside it 49 pixels below its top; dragging it carries the frame
// along. Once the game is entered it turns into the frame's drop shadow: a
// transparent layered window 6 pixels larger than the frame on every side.
#pragma once

#include <windows.h>
#include <gdiplus.h>
#include "frame/CloseMsgWnd.h"
#include "ui/ImagePaint.h"
#include "ui/ShadowCtrl.h"
#include "ui/WindowCtrl.h"
#include "base/WindowMessages.h"

class CFrameBack : public CWindowCtrl {
public:
    CFrameBack();
    ~CFrameBack() override;

    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;
    void OnCreate(CREATESTRUCTW* cs) override;
    void OnDestroy() override;
    void OnMove(int x, int y) override;
    void OnShowWindow(BOOL show, int status) override;

    // One way: drops the artwork and the buttons and starts drawing the outline.
    void EnterShadowMode();
    // Paint-after hook of the panel: the three outlines, in shadow mode only.
    void DrawShadow(Gdiplus::Graphics& g);
    // Click handler of the panel; false stops the panel's built-in handling.
    bool OnItemClick(CImageButton* button);

    int shadowSize;
    int cornerRadius;
    CShadowPens pens;  // the toolkit's shadow colours; made in OnCreate, deleted in OnDestroy
    CImagePaint panel;
    CWindowCtrl* ownerFrame;  // not owned: the game frame lying on the launcher; only its window is used
    bool shadowMode;
    CloseMsgWnd closeDialog;

private:
    void PutFrameOnTop();
};
