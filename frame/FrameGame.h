// The game frame window. For now a plain top-level window with the contract the
// application relies on: CreateAndRun runs its loop until the window is gone.
#pragma once

#include <windows.h>
#include "ui/WindowCtrl.h"

const UINT WM_FRAME_COMMAND = 0x8E5;
const WPARAM FRAME_CMD_ENTER_GAME = 1001;
const WPARAM FRAME_CMD_TOGGLE_FULLSCREEN = 5562;
const WPARAM FRAME_CMD_LEAVE_FULLSCREEN = 5563;

class CFrameGame : public CWindowCtrl {
public:
    CFrameGame();
    ~CFrameGame() override;

    // Creates the window, runs the main loop until it is destroyed, then returns.
    void CreateAndRun();

    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

    bool inGameLayout;
    bool fullScreen;
};
