// Which of a page's requests for a new window go on to the system's web browser:
// only those the player's own action started (a click or a key, as the engine
// reports it), as a browser's popup blocker decides, and at most one a second.
// A page, or an advertisement inside it, cannot flood the desktop with windows.
#pragma once

#include <windows.h>

class CPopupGate {
public:
    static const DWORD kMinIntervalMs = 1000;

    // Whether a popup asked for at `now` (a tick count in milliseconds) may go on;
    // an admitted one starts the next interval.
    bool Admit(bool userGesture, DWORD now);

private:
    bool admitted = false;
    DWORD lastAdmitted = 0;
};
