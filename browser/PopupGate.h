// Which of a page's requests for a new window go on to the system's web browser:
// those the player's own action started (a click or a key, as the engine reports
// it), as a browser's popup blocker decides, and the game's own pages, which it
// opens from a script after a server reply (the payment page once an order is
// confirmed, say); at most one a second either way. A page, or an advertisement
// inside it, cannot flood the desktop with windows.
#pragma once

#include <windows.h>
#include <string>

class CPopupGate {
public:
    static const DWORD kMinIntervalMs = 1000;

    // Whether a popup asked for at `now` (a tick count in milliseconds) may go on;
    // an admitted one starts the next interval. `ownHost`: it opens a page of one
    // of the build's own hosts (IsOwnHostAddress).
    bool Admit(bool userGesture, bool ownHost, DWORD now);

private:
    bool admitted = false;
    DWORD lastAdmitted = 0;
};

// Whether `address` is an http or https address on one of the hosts the build
// names (game, portal, statistics, forum, payment, sibling game), host and port
// alike; a host named without a port stands for its scheme's default port.
bool IsOwnHostAddress(const std::wstring& address);

// The same against a given host ("name" or "name:port"), for the tests.
bool AddressIsOnHost(const std::wstring& address, const std::wstring& host);
