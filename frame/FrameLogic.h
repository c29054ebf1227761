// Decisions of the game frame that depend only on values: the login test on a
// loaded address, and where windows and title-bar items go.
#pragma once

#include <windows.h>
#include "BuildConfig.h"
#include "ui/ItemCodes.h"

// Host of a sibling game site of the portal; its addresses count as game logins.
const wchar_t SIBLING_GAME_HOST[] = VORNMARK_SIBLING_GAME_HOST_W;

// Server ids are kept in 64 units: 63 and the terminator.
const size_t kServerIdUnits = 64;

struct LoginAddress {
    bool isLogin;       // "act=gamelogin" or the sibling host occurs in the address
    bool hasServerId;   // "server_id=" occurs (only looked at for login addresses)
    wchar_t serverId[kServerIdUnits];  // the text after "server_id=" up to "&", cut to 63 units (whole characters)
};

// The login test shared by both load handlers. Plain case-sensitive searches.
LoginAddress ParseLoginAddress(const wchar_t* address);

// Launcher geometry: the launcher is 1230 x 728 and the frame sits 49 pixels
// below its top, 1230 x 620.
const int kLauncherWidth = 1230;
const int kLauncherHeight = 728;
const int kFrameTopInLauncher = 49;
const int kStartFrameWidth = 1230;
const int kStartFrameHeight = 620;
// Minimum size of the in-game frame on screens that can hold it.
const int kGameMinWidth = 1020;
const int kGameMinHeight = 750;
const int kTitleBarHeight = 25;

// A width x height rectangle centred in the work area (truncating divisions).
RECT CentredInWorkArea(const RECT& work, int width, int height);

// Where the browser host goes in the in-game layout: below the title bar and,
// unless maximised, inside the 1-pixel window edge.
RECT GameHostRect(const RECT& client, bool zoomed);

// Top-left corner of the tray menu for a right click at `cursor`: its bottom
// at the cursor (or at the work area's height), 30 pixels left of the cursor,
// or 96 when the task bar stands at the left or right.
POINT TrayMenuPosition(POINT cursor, const RECT& work, int screenWidth, int menuHeight);

// Ids of the title bar and the menus.
enum FrameItemId {
    // The title bar's window buttons, carried out by the toolkit's panel.
    kIdClose = kPanelClose,
    kIdMinimise = kPanelMinimise,
    kIdMaximise = kPanelMaximise,
    kIdRestore = kPanelRestore,
    kIdTitleBackground = 10011,
    kIdTitleEmblem = 10012,
    kIdTools = 10013,
    kIdMenuClearCache = 10014,
    kIdMenuRefresh = 10015,
    kIdMenuBossKey = 10016,
    kIdFullScreen = 10017,
    kIdTrayRestore = 10018,
    kIdTrayQuit = 10019,
    kIdService = 10020,
    kIdForum = 10021,
    kIdGamePage = 10022,
    kIdRecharge = 10023,
    kIdAntiAddiction = 10024,
};

// The items of the in-game title bar, in the order they are added.
enum TitleItemKind { kTitleStatic, kTitleButton, kTitleStrip };
struct TitleItem {
    int id;
    TitleItemKind kind;
    int images[3];      // static: image; button: normal, hover, pressed; strip: the strip
    // Rectangle when added. x1, x2: absolute when absoluteX, otherwise distances
    // of the left and right edges from the client's right edge R. top, bottom:
    // offsets from the client's top T when topFromClient, otherwise absolute.
    int x1, x2;
    int top, bottom;
    bool absoluteX;
    bool topFromClient;
    int anchor;         // right margin kept on resize; -1: none
    const wchar_t* text;  // not owned (a literal): tooltip text, never painted on the button
    bool visible;
};
extern const TitleItem kTitleItems[];
extern const int kTitleItemCount;

// The rectangle of a title-bar item when it is added to a client area whose
// right edge is `right` and top is `top`.
RECT TitleItemRect(const TitleItem& item, int right, int top);
