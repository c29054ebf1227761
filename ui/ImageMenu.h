// A popup menu: an item list in a borderless tool window 96 pixels wide with
// a light drop shadow, opened at a screen point and hidden when it loses
// activation. The owner adds rows through `list` and learns of a choice
// through list.onItemClick.
#pragma once

#include <windows.h>
#include "ui/ImageCtrlEx.h"
#include "ui/ShadowCtrl.h"

class CImageMenu : public CImageCtrlEx {
public:
    static const int kWidth = 96;

    CImageMenu();
    ~CImageMenu() override;

    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;
    void OnCreate(CREATESTRUCTW* cs) override;
    void OnDestroy() override;
    void OnMove(int x, int y) override;
    void OnShowWindow(BOOL show, int status) override;

    // Shows the menu with its top-left corner at the screen point (x, y).
    void Popup(int x, int y);

    CWindowCtrl* companion;  // not owned: hidden together with the menu
    CWindowCtrl* anchor;     // not owned: its area keeps the menu open; hidden with it
    bool closeOnDeactivate;
    bool keepCompanions;
    CShadowCtrl* shadow;     // owned: made on the first popup
};
