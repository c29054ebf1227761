// The popup menu with its shadow, closing on deactivation, and the tooltip window.
#include <gtest/gtest.h>
#include <vector>
#include "UiTestSupport.h"
#include "common/TestUtil.h"
#include "ui/ImageCtrl.h"
#include "ui/ImageMenu.h"
#include "ui/ImageTipCtrl.h"

namespace {

void AddEntries(CImageMenu& menu) {
    const wchar_t* texts[] = {L"清除缓存", L"刷新", L"老板键"};
    for (int i = 0; i < 3; ++i)
        menu.list.AddItem(100 + i)->AddButton(100 + i, RECT{1, 1, 94, 94}, texts[i], 0, 0, 0, 0);
}

RECT WindowRect(HWND h) {
    RECT r = {0, 0, 0, 0};
    GetWindowRect(h, &r);
    return r;
}

}  // namespace

TEST(Menu, TwoPopupsReuseOneMenuAndOneShadowWindow) {
    testutil::RunWithManager([] {
        CImageMenu menu;
        AddEntries(menu);
        menu.Popup(400, 300);
        HWND first = menu.hwnd;
        ASSERT_TRUE(IsWindow(first) && menu.shadow && IsWindow(menu.shadow->hwnd));
        HWND shadow = menu.shadow->hwnd;
        EXPECT_EQ(shadow, GetWindow(first, GW_OWNER)) << "the shadow owns the menu";
        EXPECT_TRUE(GetWindowLongW(first, GWL_EXSTYLE) & WS_EX_TOPMOST) << "the menu does not stay on top";
        EXPECT_EQ(0x0F9E9E9Eu, menu.shadow->colors[0]) << "menu shadows use the light colours";
        RECT r = WindowRect(first), s = WindowRect(shadow);
        EXPECT_TRUE(r.left == 400 && r.top == 300 && r.right == 496) << "menu not at the point or not 96 wide";
        EXPECT_EQ(72, r.bottom - r.top) << "height is the sum of the rows";
        EXPECT_TRUE(s.left == 394 && s.top == 294 && s.right == 502 && s.bottom == 378) << "shadow not around the menu";
        EXPECT_TRUE(IsWindowVisible(first) && IsWindowVisible(shadow));

        menu.Show(SW_HIDE);
        EXPECT_FALSE(IsWindowVisible(shadow)) << "the shadow stayed when the menu was hidden";
        menu.list.AddItem(101)->visible = false;
        menu.Popup(500, 320);
        EXPECT_EQ(first, menu.hwnd);
        EXPECT_EQ(shadow, menu.shadow->hwnd);
        EXPECT_EQ(1, uitest::ThreadWindowCount(L"ImageMenu"));
        EXPECT_EQ(1, uitest::ThreadWindowCount(L"ShadowCtrl"));
        EXPECT_EQ(48, WindowRect(first).bottom - WindowRect(first).top) << "invisible rows take no height";
        EXPECT_EQ(494, WindowRect(shadow).left) << "the shadow did not follow the menu";
        EXPECT_TRUE(IsWindowVisible(shadow));
    });
}

TEST(Menu, DeactivationHidesTheMenuAndItsShadow) {
    testutil::RunWithManager([] {
        CImageCtrl other, anchor;
        other.Create(0, nullptr, L"", WS_POPUP | WS_VISIBLE, 700, 100, 200, 200, nullptr);
        anchor.Create(0, nullptr, L"", WS_POPUP | WS_VISIBLE, 100, 600, 200, 100, nullptr);
        CImageMenu menu;
        AddEntries(menu);
        std::vector<int> chosen;
        menu.list.SetOnItemClick([&](CImageItem* row) {
            chosen.push_back(row->id);
            menu.Show(SW_HIDE);
        });
        menu.Popup(400, 300);
        uitest::Settle();
        EXPECT_EQ(menu.hwnd, GetForegroundWindow()) << "the popup is not in front";
        SetForegroundWindow(other.hwnd);
        uitest::Settle();
        EXPECT_FALSE(IsWindowVisible(menu.hwnd)) << "deactivation left the menu open";
        EXPECT_FALSE(IsWindowVisible(menu.shadow->hwnd)) << "deactivation left the shadow";

        // Deactivated by a press into the anchor: stays open; hiding takes the anchor along.
        menu.anchor = &anchor;
        menu.Popup(400, 300);
        uitest::Settle();
        SetCursorPos(150, 650);
        SetForegroundWindow(anchor.hwnd);
        uitest::Settle();
        EXPECT_TRUE(IsWindowVisible(menu.hwnd)) << "a press into the anchor closed the menu";

        // Choosing a row reports its id.
        uitest::MouseAt(menu.hwnd, 40, 30);
        uitest::SendMouse(menu.hwnd, WM_LBUTTONUP, 40, 30);
        EXPECT_EQ(std::vector<int>{101}, chosen);
        EXPECT_FALSE(IsWindowVisible(menu.hwnd));
        EXPECT_FALSE(IsWindowVisible(anchor.hwnd)) << "the anchor stayed when the menu was hidden";

        HWND shadowWindow = menu.shadow->hwnd;
        DestroyWindow(menu.hwnd);
        EXPECT_TRUE(testutil::PumpUntil([&] { return !IsWindow(shadowWindow); }, 2000)) << "shadow not closed";
    });
}

TEST(Tooltip, ShowsItsTextBesideTheCursorOnTimer1100) {
    testutil::RunWithManager([] {
        CImageTipCtrl tip;
        HWND h = tip.Create(0, L"ToolTip", nullptr, WS_POPUP, 0, 0, 10, 10, nullptr);
        ASSERT_TRUE(IsWindow(h) && tip.font);
        // Other timers and an empty text show nothing.
        EXPECT_EQ(1, SendMessageW(h, WM_TIMER, 1101, 0));
        SetTimer(h, CImageTipCtrl::kTimerId, 10, nullptr);
        uitest::Settle(100);
        EXPECT_FALSE(IsWindowVisible(h)) << "an empty tip or another timer showed the tip";

        wcscpy(tip.text, L"全屏(F10)");
        SetCursorPos(300, 200);
        SetTimer(h, CImageTipCtrl::kTimerId, 10, nullptr);
        EXPECT_TRUE(testutil::PumpUntil([&] { return IsWindowVisible(h) != FALSE; }, 2000)) << "tip never shown";
        RECT r = WindowRect(h);
        SIZE text = tip.MeasureText();
        EXPECT_TRUE(r.left == 315 && r.top == 215) << "not 15 pixels right of and below the cursor";
        EXPECT_GT(text.cx, 20);
        EXPECT_EQ(text.cx + 5, r.right - r.left);
        EXPECT_EQ(text.cy + 4, r.bottom - r.top);
        EXPECT_NE(h, GetForegroundWindow()) << "the tip took the activation";
        UpdateWindow(h);
        HDC dc = GetDC(h);
        EXPECT_EQ(RGB(0x8A, 0x8A, 0x8A), GetPixel(dc, 0, 0)) << "border";
        EXPECT_EQ(RGB(0xFC, 0xFC, 0xFC), GetPixel(dc, 1, 1)) << "background";
        ReleaseDC(h, dc);
        DestroyWindow(h);
        EXPECT_EQ(nullptr, tip.font) << "resources outlived the window";
    });
}
