// The login test on loaded addresses and the frame's layout arithmetic.
#include <gtest/gtest.h>

#include <string>
#include "frame/FrameLogic.h"

namespace {
std::wstring Id(const LoginAddress& a) { return a.serverId; }
}  // namespace

TEST(LoginAddress, ServerIdIsTakenUpToTheNextAmpersand) {
    LoginAddress a = ParseLoginAddress(L"http://g.test/play?act=gamelogin&server_id=17&time=5");
    EXPECT_TRUE(a.isLogin);
    EXPECT_TRUE(a.hasServerId);
    EXPECT_EQ(Id(a), L"17");

    a = ParseLoginAddress(L"http://g.test/play?act=gamelogin&server_id=17");
    EXPECT_TRUE(a.isLogin);
    EXPECT_EQ(Id(a), L"17");

    a = ParseLoginAddress(L"http://g.test/play?act=gamelogin&server_id=");
    EXPECT_TRUE(a.isLogin);
    EXPECT_TRUE(a.hasServerId);
    EXPECT_EQ(Id(a), L"");
}

TEST(LoginAddress, OnlyLoginAddressesCount) {
    LoginAddress a = ParseLoginAddress(L"http://g.test/play?server_id=42");
    EXPECT_FALSE(a.isLogin);
    EXPECT_FALSE(a.hasServerId);

    // Case-sensitive: another spelling is no login.
    EXPECT_FALSE(ParseLoginAddress(L"http://g.test/?ACT=GAMELOGIN&server_id=1").isLogin);
    EXPECT_FALSE(ParseLoginAddress(L"").isLogin);
    EXPECT_FALSE(ParseLoginAddress(nullptr).isLogin);

    // A login without a server id: a switch, but nothing to store.
    a = ParseLoginAddress(L"http://g.test/play?act=gamelogin");
    EXPECT_TRUE(a.isLogin);
    EXPECT_FALSE(a.hasServerId);
}

TEST(LoginAddress, SiblingHostCountsAsLogin) {
    std::wstring address = std::wstring(L"http://") + SIBLING_GAME_HOST + L"/enter?server_id=s3&x=1";
    LoginAddress a = ParseLoginAddress(address.c_str());
    EXPECT_TRUE(a.isLogin);
    EXPECT_EQ(Id(a), L"s3");
    EXPECT_FALSE(ParseLoginAddress((std::wstring(L"http://") + SIBLING_GAME_HOST).c_str()).hasServerId);
}

TEST(LoginAddress, LongServerIdIsCutTo63Units) {
    std::wstring address = L"http://g.test/?act=gamelogin&server_id=" + std::wstring(100, L'9') + L"&t=1";
    LoginAddress a = ParseLoginAddress(address.c_str());
    EXPECT_EQ(Id(a), std::wstring(63, L'9'));
    // A character of two units across the cut is left out whole.
    address = L"http://g.test/?act=gamelogin&server_id=" + std::wstring(62, L'9') + L"\xD83D\xDE00&t=1";
    EXPECT_EQ(Id(ParseLoginAddress(address.c_str())), std::wstring(62, L'9'));
    address = L"http://g.test/?act=gamelogin&server_id=" + std::wstring(61, L'9') + L"\xD83D\xDE00";
    EXPECT_EQ(Id(ParseLoginAddress(address.c_str())), std::wstring(61, L'9') + L"\xD83D\xDE00");
}

TEST(FrameLayout, CentresInTheWorkArea) {
    RECT work = {0, 0, 1920, 1040};
    RECT r = CentredInWorkArea(work, 1230, 728);
    EXPECT_EQ(r.left, 345);
    EXPECT_EQ(r.top, 156);
    EXPECT_EQ(r.right - r.left, 1230);
    EXPECT_EQ(r.bottom - r.top, 728);
    // A task bar at the top or the left moves the centre with the work area.
    RECT shifted = {100, 40, 1920, 1080};
    r = CentredInWorkArea(shifted, 1020, 750);
    EXPECT_EQ(r.left, 100 + (1820 - 1020) / 2);
    EXPECT_EQ(r.top, 40 + (1040 - 750) / 2);
    // Smaller than the window: truncation toward zero, as the divisions do.
    RECT tiny = {0, 0, 801, 601};
    r = CentredInWorkArea(tiny, 1230, 728);
    EXPECT_EQ(r.left, -214);
    EXPECT_EQ(r.top, -63);
}

TEST(FrameLayout, HostLeavesTitleBarAndEdge) {
    RECT client = {0, 0, 1000, 700};
    RECT r = GameHostRect(client, false);
    EXPECT_EQ(r.left, 1);
    EXPECT_EQ(r.top, 25);
    EXPECT_EQ(r.right, 999);
    EXPECT_EQ(r.bottom, 699);
    r = GameHostRect(client, true);
    EXPECT_EQ(r.left, 0);
    EXPECT_EQ(r.top, 25);
    EXPECT_EQ(r.right, 1000);
    EXPECT_EQ(r.bottom, 700);
}

TEST(FrameLayout, TrayMenuOpensAboveTheCursor) {
    RECT work = {0, 0, 1920, 1040};
    // Task bar at the bottom: 30 pixels left of the cursor, bottom edge at the cursor.
    POINT p = TrayMenuPosition(POINT{1800, 1000}, work, 1920, 72);
    EXPECT_EQ(p.x, 1770);
    EXPECT_EQ(p.y, 928);
    // Cursor in the task bar below the work area: bottom edge at the work area's height.
    p = TrayMenuPosition(POINT{1800, 1060}, work, 1920, 72);
    EXPECT_EQ(p.y, 1040 - 72);
    // Task bar at the right: the 96-pixel menu ends at the cursor.
    RECT narrow = {0, 0, 1860, 1080};
    p = TrayMenuPosition(POINT{1880, 500}, narrow, 1920, 48);
    EXPECT_EQ(p.x, 1880 - 96);
    EXPECT_EQ(p.y, 452);
}

TEST(FrameLayout, TitleBarItemsStandSideBySide) {
    const int right = 1230;
    int found = 0;
    RECT strips[5];
    for (int i = 0; i < kTitleItemCount; ++i) {
        const TitleItem& item = kTitleItems[i];
        RECT r = TitleItemRect(item, right, 0);
        if (item.id == 10) {
            EXPECT_EQ(r.left, 1205);
            EXPECT_EQ(r.right, 1230);
            EXPECT_EQ(r.bottom, 25);
        }
        if (item.id == 10011) {
            EXPECT_EQ(r.left, 0);
            EXPECT_EQ(r.right, 1366);
        }
        if (item.id == 10012) {
            EXPECT_EQ(r.left, 5);
            EXPECT_EQ(r.bottom, 21);
        }
        if (item.id >= 10020 && item.id <= 10024) {
            EXPECT_EQ(r.top, 2);
            EXPECT_EQ(r.bottom, 24);
            // Where the anchor puts the strip on every resize, its width kept.
            int width = r.right - r.left;
            r.right = 1500 - item.anchor;
            r.left = r.right - width;
            strips[item.id - 10020] = r;
            ++found;
        }
        if (item.id == 10013) {
            EXPECT_EQ(r.left, right - 125);
        }
        if (item.kind == kTitleButton && item.id != 10) {
            EXPECT_EQ(right - item.anchor, r.right) << item.id;
        }
    }
    ASSERT_EQ(found, 5);
    // Once anchored the strips stand from right to left with 4-pixel gaps, the
    // first touching the tools button; the identity one is 64 wide.
    EXPECT_EQ(strips[0].left, 1334);
    EXPECT_EQ(strips[0].right, 1375);
    for (int i = 1; i < 5; ++i) EXPECT_EQ(strips[i - 1].left - strips[i].right, 4) << i;
    EXPECT_EQ(strips[4].right - strips[4].left, 64);
    EXPECT_EQ(strips[0].right - strips[0].left, 41);
}
