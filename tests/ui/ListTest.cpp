// The item list in its window: rows by id, visibility and layout, hover,
// selection, click and double-click timing on a driven clock, hiding, painting.
#include <gtest/gtest.h>
#include <vector>
#include "UiTestSupport.h"
#include "common/TestUtil.h"
#include "ui/ImageCtrlEx.h"
#include "ui/TickSource.h"

using uitest::MouseAt;
using uitest::SendMouse;

namespace {

DWORD g_now = 0;
DWORD DrivenClock() { return g_now; }

// Installs the driven clock for one test.
struct DrivenTime {
    explicit DrivenTime(DWORD start) {
        g_now = start;
        toolkit::SetTickSource(DrivenClock);
    }
    ~DrivenTime() { toolkit::SetTickSource(nullptr); }
};

struct ListFixture {
    CImageCtrlEx window;
    std::vector<int> clicks, doubleClicks;
    HWND h = nullptr;

    void Open(int rows) {
        window.list.hoverColor = 0xFF3399FF;
        window.list.selectedColor = 0xFF1060C0;
        window.list.SetOnItemClick([this](CImageItem* row) { clicks.push_back(row->id); });
        window.list.SetOnItemDoubleClick([this](CImageItem* row) { doubleClicks.push_back(row->id); });
        h = window.Create(0, nullptr, L"", WS_POPUP | WS_VISIBLE, 300, 300, 96, 200, nullptr);
        for (int i = 1; i <= rows; ++i) window.list.AddItem(i);
        uitest::Settle();
    }
    LRESULT ClickAt(int x, int y) {
        MouseAt(h, x, y);
        return SendMouse(h, WM_LBUTTONUP, x, y);
    }
};

COLORREF PixelOf(HWND h, int x, int y) {
    HDC dc = GetDC(h);
    COLORREF c = GetPixel(dc, x, y);
    ReleaseDC(h, dc);
    return c;
}

}  // namespace

TEST(List, RowsByIdAndInvisibleRowsTakeNoSpace) {
    testutil::RunWithManager([] {
        ListFixture f;
        f.Open(3);
        ASSERT_TRUE(IsWindow(f.h));
        EXPECT_EQ(0, wcscmp(f.window.className, L"ImageList"));
        CImageItem* second = f.window.list.AddItem(2);
        EXPECT_EQ(3u, f.window.list.items.size()) << "an existing id added a row";
        EXPECT_EQ(second, f.window.list.AddItem(2));
        RECT r = f.window.list.GetItemRect(3);
        EXPECT_EQ(48, r.top);
        EXPECT_EQ(72, r.bottom);
        EXPECT_EQ(96, r.right);

        second->visible = false;
        r = f.window.list.GetItemRect(3);
        EXPECT_EQ(24, r.top) << "the row after an invisible one did not move up";
        r = f.window.list.GetItemRect(2);
        EXPECT_EQ(0, r.top);
        EXPECT_EQ(0, r.bottom - r.top) << "an invisible row has no rectangle";
        f.ClickAt(10, 30);
        EXPECT_EQ(std::vector<int>{3}, f.clicks) << "the click did not reach the row that moved up";
        RECT none = f.window.list.GetItemRect(42);
        EXPECT_EQ(0, none.bottom);

        // A click below the last row hits nothing.
        f.clicks.clear();
        f.ClickAt(10, 150);
        EXPECT_TRUE(f.clicks.empty());
        DestroyWindow(f.h);
        EXPECT_TRUE(f.window.list.items.empty()) << "rows outlived the window";
    });
}

TEST(List, ClickAndDoubleClickTiming) {
    testutil::RunWithManager([] {
        DrivenTime time(100000);
        ListFixture f;
        f.Open(3);
        f.ClickAt(10, 10);
        g_now += 300;
        f.ClickAt(10, 12);
        EXPECT_EQ(std::vector<int>{1}, f.clicks);
        EXPECT_EQ(std::vector<int>{1}, f.doubleClicks) << "a second click 300 ms later is a double click";
        g_now += 600;
        f.ClickAt(10, 10);
        EXPECT_EQ((std::vector<int>{1, 1}), f.clicks) << "600 ms later it is a click";
        EXPECT_EQ(1u, f.doubleClicks.size());
        // Another row counts as a click however soon.
        g_now += 50;
        f.ClickAt(10, 30);
        g_now += 50;
        f.ClickAt(10, 10);
        EXPECT_EQ((std::vector<int>{1, 1, 2, 1}), f.clicks);
        EXPECT_EQ(1u, f.doubleClicks.size());
        EXPECT_EQ(f.window.list.AddItem(1), f.window.list.selectedItem);
        EXPECT_TRUE(f.window.list.AddItem(1)->selected);
        EXPECT_FALSE(f.window.list.AddItem(2)->selected) << "two rows selected";
        DestroyWindow(f.h);
    });
}

TEST(List, HidingClearsHighlightButKeepsTheSelection) {
    testutil::RunWithManager([] {
        DrivenTime time(5000);
        ListFixture f;
        f.Open(3);
        CImageItem* first = f.window.list.AddItem(1);
        f.ClickAt(10, 10);
        ASSERT_TRUE(first->selected);
        ASSERT_TRUE(first->hovered);
        ShowWindow(f.h, SW_HIDE);
        for (CImageItem* row : f.window.list.items) {
            EXPECT_FALSE(row->hovered) << "row " << row->id;
            EXPECT_FALSE(row->selected) << "row " << row->id;
        }
        EXPECT_EQ(first, f.window.list.selectedItem) << "hiding forgot the selection pointer";
        ShowWindow(f.h, SW_SHOW);
        uitest::Settle();
        g_now += 200;
        f.ClickAt(10, 10);
        EXPECT_EQ(std::vector<int>{1}, f.doubleClicks) << "the click after showing again is not timed against the old one";
        EXPECT_TRUE(first->hovered) << "the row under the mouse is not highlighted after showing again";
        DestroyWindow(f.h);
    });
}

TEST(List, HoverFollowsTheMouseAndPaints) {
    testutil::RunWithManager([] {
        ListFixture f;
        f.Open(3);
        CImageItem* first = f.window.list.AddItem(1);
        CImageItem* second = f.window.list.AddItem(2);
        CImageButton* icon = second->AddButton(7, RECT{0, 2, 20, 22}, L"", 0, 0, 0, 0);
        icon->rightMargin = 10;
        EXPECT_EQ(icon, second->AddButton(7, RECT{0, 0, 1, 1}, L"x", 0, 0, 0, 0));
        EXPECT_EQ(20, icon->rect.right) << "AddButton changed an existing button";
        icon->fillBrushes[0] = new Gdiplus::SolidBrush(Gdiplus::Color(0xFFFF0000));

        MouseAt(f.h, 10, 10);
        EXPECT_EQ(first, f.window.list.hoverItem);
        UpdateWindow(f.h);
        EXPECT_EQ(RGB(0x33, 0x99, 0xFF), PixelOf(f.h, 50, 10)) << "hover colour";
        EXPECT_EQ(RGB(0xFA, 0xFA, 0xFA), PixelOf(f.h, 50, 60)) << "background colour";

        // Leaving the row ends its hover; the next move picks the new row.
        MouseAt(f.h, 10, 30);
        EXPECT_FALSE(first->hovered);
        MouseAt(f.h, 80, 30);
        EXPECT_EQ(second, f.window.list.hoverItem);
        EXPECT_EQ(icon, second->hotButton) << "the right-anchored row button (66..86) is not hot at x = 80";
        UpdateWindow(f.h);
        EXPECT_EQ(RGB(0xFF, 0, 0), PixelOf(f.h, 85, 30)) << "row button does not end at 86";
        EXPECT_EQ(RGB(0x33, 0x99, 0xFF), PixelOf(f.h, 86, 30));
        MouseAt(f.h, 40, 30);
        EXPECT_EQ(nullptr, second->hotButton);

        f.ClickAt(40, 30);
        UpdateWindow(f.h);
        EXPECT_EQ(RGB(0x10, 0x60, 0xC0), PixelOf(f.h, 50, 30)) << "selected colour";

        SendMessageW(f.h, WM_MOUSELEAVE, 0, 0);
        EXPECT_EQ(nullptr, f.window.list.hoverItem);
        EXPECT_FALSE(second->hovered);
        EXPECT_EQ(-1, f.window.list.mouseX);

        f.window.list.Clear();
        EXPECT_EQ(nullptr, f.window.list.selectedItem);
        EXPECT_TRUE(f.window.list.items.empty());
        DestroyWindow(f.h);
    });
}
