#include "frame/FrameLogic.h"

#include <cwchar>
#include "base/Text.h"
#include "resource_ids.h"

LoginAddress ParseLoginAddress(const wchar_t* address) {
    LoginAddress out;
    out.isLogin = false;
    out.hasServerId = false;
    out.serverId[0] = 0;
    if (!address) return out;
    if (!wcsstr(address, L"act=gamelogin") && !wcsstr(address, SIBLING_GAME_HOST)) return out;
    out.isLogin = true;
    const wchar_t* found = wcsstr(address, L"server_id=");
    if (!found) return out;
    out.hasServerId = true;
    const wchar_t* value = found + 10;
    const wchar_t* end = wcschr(value, L'&');
    size_t length = base::Utf16CutLength(value, end ? (size_t)(end - value) : wcslen(value), kServerIdUnits - 1);
    wmemcpy(out.serverId, value, length);
    out.serverId[length] = 0;
    return out;
}

RECT CentredInWorkArea(const RECT& work, int width, int height) {
    // The work area's origin is added: measured from the screen's corner, a
    // window about the work area's size would lie under a task bar at the top
    // or the left, the launcher's close and minimise buttons with it.
    int x = work.left + (work.right - work.left - width) / 2;
    int y = work.top + (work.bottom - work.top - height) / 2;
    RECT r = {x, y, x + width, y + height};
    return r;
}

RECT GameHostRect(const RECT& client, bool zoomed) {
    RECT r = client;
    r.top += kTitleBarHeight;
    if (!zoomed) {
        r.left += 1;
        r.right -= 1;
        r.bottom -= 1;
    }
    return r;
}

POINT TrayMenuPosition(POINT cursor, const RECT& work, int screenWidth, int menuHeight) {
    int workHeight = work.bottom - work.top;
    POINT p;
    p.y = (cursor.y < workHeight ? cursor.y : workHeight) - menuHeight;
    p.x = (work.right - work.left < screenWidth) ? cursor.x - 96 : cursor.x - 30;
    return p;
}

const TitleItem kTitleItems[] = {
    // Bar background, stretched from the left edge to the right edge.
    {kIdTitleBackground, kTitleStatic, {IDB_TITLE_BACKGROUND, 0, 0}, 0, 1366, 0, 25, true, true, 0, nullptr, true},
    {kIdTitleEmblem, kTitleStatic, {IDB_TITLE_EMBLEM, 0, 0}, 5, 21, 5, 21, true, false, -1, nullptr, true},
    {kIdClose, kTitleButton, {IDB_TITLE_CLOSE_NORMAL, IDB_TITLE_CLOSE_HOVER, IDB_TITLE_CLOSE_HOVER}, 25, 0, 0, 25,
     false, true, 1, nullptr, true},
    {kIdMaximise, kTitleButton, {IDB_TITLE_MAX_NORMAL, IDB_TITLE_MAX_HOVER, IDB_TITLE_MAX_PRESSED}, 50, 25, 0, 25,
     false, true, 25, L"最大化", false},
    {kIdRestore, kTitleButton, {IDB_TITLE_RESTORE_NORMAL, IDB_TITLE_RESTORE_HOVER, IDB_TITLE_RESTORE_PRESSED}, 50, 25,
     0, 25, false, true, 25, L"还原", true},
    {kIdMinimise, kTitleButton, {IDB_TITLE_MIN_NORMAL, IDB_TITLE_MIN_HOVER, IDB_TITLE_MIN_PRESSED}, 75, 50, 0, 25,
     false, true, 50, L"最小化", true},
    {kIdFullScreen, kTitleButton,
     {IDB_TITLE_FULLSCREEN_NORMAL, IDB_TITLE_FULLSCREEN_HOVER, IDB_TITLE_FULLSCREEN_PRESSED}, 100, 75, 0, 25, false,
     true, 75, L"全屏(F10)", true},
    {kIdTools, kTitleButton, {IDB_TITLE_TOOLS_NORMAL, IDB_TITLE_TOOLS_HOVER, IDB_TITLE_TOOLS_PRESSED}, 125, 100, 0,
     25, false, true, 100, L"工具", true},
    {kIdService, kTitleStrip, {IDB_TITLE_SERVICE_STRIP, 0, 0}, 154, 113, 2, 24, false, false, 125, nullptr, true},
    {kIdForum, kTitleStrip, {IDB_TITLE_FORUM_STRIP, 0, 0}, 199, 158, 2, 24, false, false, 170, nullptr, true},
    {kIdGamePage, kTitleStrip, {IDB_TITLE_GAMEPAGE_STRIP, 0, 0}, 244, 203, 2, 24, false, false, 215, nullptr, true},
    {kIdRecharge, kTitleStrip, {IDB_TITLE_RECHARGE_STRIP, 0, 0}, 289, 248, 2, 24, false, false, 260, nullptr, true},
    {kIdAntiAddiction, kTitleStrip, {IDB_TITLE_ANTIADDICTION_STRIP, 0, 0}, 334, 270, 2, 24, false, false, 305,
     nullptr, true},
};
const int kTitleItemCount = sizeof(kTitleItems) / sizeof(kTitleItems[0]);

RECT TitleItemRect(const TitleItem& item, int right, int top) {
    RECT r;
    if (item.absoluteX) {
        r.left = item.x1;
        r.right = item.x2;
    } else {
        r.left = right - item.x1;
        r.right = right - item.x2;
    }
    int base = item.topFromClient ? top : 0;
    r.top = base + item.top;
    r.bottom = base + item.bottom;
    return r;
}
