// The button panel inside a skinned window: hover, press and click, built-in
// commands, caption drag, sizing borders, anchoring, size limits and regions.
// Real windows; mouse messages sent with the cursor placed over them.
#include <gtest/gtest.h>
#include <functional>
#include <vector>
#include "UiTestSupport.h"
#include "common/TestUtil.h"
#include "resource_ids.h"
#include "ui/ImageCtrl.h"

using uitest::MouseAt;
using uitest::SendMouse;

namespace {

class PanelWindow : public CImageCtrl {
public:
    std::vector<int> clicks, rightClicks;
    bool clickAnswer = true;
    std::function<bool(CImageButton*)> onClick;

    bool OnItemClick(CImageButton* b) override {
        clicks.push_back(b ? b->id : -1);
        return onClick ? onClick(b) : clickAnswer;
    }
    bool OnItemRightClick(CImageButton* b) override {
        rightClicks.push_back(b->id);
        return true;
    }
    HWND Open(int x = 200, int y = 200, int cx = 400, int cy = 300) {
        HWND h = Create(0, nullptr, L"panel", WS_POPUP | WS_VISIBLE, x, y, cx, cy, nullptr);
        uitest::Settle();
        return h;
    }
    CImageButton* Add(int id, RECT r) { return panel.AddButton(id, 0, 0, 0, 0, r); }
    int HoverId() const { return panel.hoverButton ? panel.hoverButton->id : 0; }
};

void Press(HWND h, int x, int y) {
    MouseAt(h, x, y);
    SendMouse(h, WM_LBUTTONDOWN, x, y, MK_LBUTTON);
}

LRESULT Click(HWND h, int x, int y) {
    Press(h, x, y);
    return SendMouse(h, WM_LBUTTONUP, x, y);
}

bool UpdatePending(HWND h) {
    RECT r;
    return GetUpdateRect(h, &r, FALSE) != FALSE;
}

}  // namespace

TEST(Panel, ClickIsPressAndReleaseOnTheSameButton) {
    testutil::RunWithManager([] {
        PanelWindow w;
        HWND h = w.Open();
        w.Add(1, RECT{10, 50, 60, 80});
        w.Add(2, RECT{100, 50, 160, 80});

        // Press, drag out (the capture keeps the messages coming) and back, release.
        Press(h, 20, 60);
        EXPECT_EQ(h, GetCapture()) << "a press on a button captures the mouse";
        SendMouse(h, WM_MOUSEMOVE, 120, 60, MK_LBUTTON);
        EXPECT_EQ(1, w.HoverId()) << "the hover moved while the button was held";
        SendMouse(h, WM_MOUSEMOVE, 25, 65, MK_LBUTTON);
        SendMouse(h, WM_LBUTTONUP, 25, 65);
        EXPECT_EQ(std::vector<int>{1}, w.clicks);
        EXPECT_EQ(nullptr, GetCapture());

        w.clicks.clear();
        Press(h, 20, 60);  // dragged out and released outside
        SendMouse(h, WM_MOUSEMOVE, 300, 200, MK_LBUTTON);
        SendMouse(h, WM_LBUTTONUP, 300, 200);
        EXPECT_EQ(0, w.HoverId()) << "released outside: the hover ends";
        Press(h, 300, 200);  // pressed outside any button, released on one
        MouseAt(h, 20, 60);
        SendMouse(h, WM_LBUTTONUP, 20, 60);
        Press(h, 20, 60);  // pressed on one button, released on another
        SendMouse(h, WM_LBUTTONUP, 120, 60);
        EXPECT_TRUE(w.clicks.empty());

        // A leave reported late, after the move onto the button: the click still counts.
        w.clicks.clear();
        MouseAt(h, 20, 60);
        SendMouse(h, WM_MOUSELEAVE, 0, 0);
        EXPECT_EQ(0, w.HoverId());
        SendMouse(h, WM_LBUTTONDOWN, 20, 60, MK_LBUTTON);
        SendMouse(h, WM_LBUTTONUP, 20, 60);
        EXPECT_EQ(std::vector<int>{1}, w.clicks);

        // Right clicks report, and repaint nothing.
        MouseAt(h, 20, 60);
        SendMouse(h, WM_RBUTTONDOWN, 20, 60, MK_RBUTTON);
        ValidateRect(h, nullptr);
        SendMouse(h, WM_RBUTTONUP, 22, 62);
        EXPECT_EQ(std::vector<int>{1}, w.rightClicks);
        EXPECT_FALSE(UpdatePending(h));
        DestroyWindow(h);
    });
}

TEST(Panel, ReservedIdsNeverTakeTheHover) {
    testutil::RunWithManager([] {
        PanelWindow w;
        HWND h = w.Open();
        const int ids[] = {99, 100, 150, 250, 251};
        for (int i = 0; i < 5; ++i) w.Add(ids[i], RECT{10 + 40 * i, 50, 40 + 40 * i, 80});
        for (int i = 0; i < 5; ++i) Click(h, 20 + 40 * i, 60);
        EXPECT_EQ((std::vector<int>{99, 251}), w.clicks) << "ids 100..250 must never be clicked";
        MouseAt(h, 100, 60);
        EXPECT_EQ(0, w.HoverId());
        DestroyWindow(h);
    });
}

TEST(Panel, FalseClickCallbackSuppressesBuiltInCommandsAndRepaint) {
    testutil::RunWithManager([] {
        PanelWindow w;
        HWND h = w.Open();
        w.Add(10, RECT{370, 0, 395, 25});
        w.Add(20, RECT{320, 0, 345, 25});
        w.Add(30, RECT{345, 0, 370, 25});
        w.Add(40, RECT{295, 0, 320, 25});
        w.Add(1, RECT{10, 50, 60, 80});

        w.clickAnswer = false;
        for (int id : {10, 20, 30, 40}) {
            RECT r = w.panel.FindButton(id)->rect;
            Press(h, r.left + 5, r.top + 5);
            ValidateRect(h, nullptr);
            EXPECT_EQ(1, SendMouse(h, WM_LBUTTONUP, r.left + 5, r.top + 5)) << "not reported handled, id " << id;
            EXPECT_FALSE(UpdatePending(h)) << "repainted after a taken-over click, id " << id;
            EXPECT_TRUE(IsWindow(h) && !IsIconic(h) && !IsZoomed(h)) << "built-in command ran, id " << id;
        }
        EXPECT_TRUE(w.panel.FindButton(30)->visible && w.panel.FindButton(40)->visible);
        EXPECT_EQ((std::vector<int>{10, 20, 30, 40}), w.clicks);

        w.clickAnswer = true;
        Press(h, 20, 60);
        ValidateRect(h, nullptr);
        EXPECT_EQ(0, SendMouse(h, WM_LBUTTONUP, 20, 60));
        EXPECT_TRUE(UpdatePending(h)) << "an ordinary click repaints its button";

        // Maximise swaps 30 for 40 in the same place, and the restore under the mouse works at once.
        w.panel.FindButton(40)->visible = false;
        w.panel.FindButton(40)->SetRect(345, 0, 370, 25);
        Click(h, 350, 5);
        EXPECT_TRUE(IsZoomed(h));
        EXPECT_TRUE(!w.panel.FindButton(30)->visible && w.panel.FindButton(40)->visible);
        Click(h, 350, 5);
        EXPECT_FALSE(IsZoomed(h)) << "the hidden maximise button kept the hover from restore";
        EXPECT_TRUE(w.panel.FindButton(30)->visible);

        Click(h, 325, 5);
        EXPECT_TRUE(IsIconic(h));
        ShowWindow(h, SW_RESTORE);
        uitest::Settle();

        // A disabled close button reports its click but keeps the window.
        w.clicks.clear();
        w.panel.FindButton(10)->disabled = true;
        Click(h, 375, 5);
        EXPECT_EQ(std::vector<int>{10}, w.clicks);
        EXPECT_TRUE(IsWindow(h));
        w.panel.FindButton(10)->disabled = false;
        Click(h, 375, 5);
        EXPECT_FALSE(IsWindow(h)) << "button 10 closes the window";
        EXPECT_TRUE(w.panel.buttons.empty()) << "items outlived their window";
    });
}

TEST(Panel, ClickCallbackMayRemoveTheButtonOrDestroyTheWindow) {
    testutil::RunWithManager([] {
        PanelWindow w;
        HWND h = w.Open();
        // The callback removes the close button and lets the panel carry on: the
        // removed button must not act any more.
        w.Add(10, RECT{10, 50, 60, 80});
        w.onClick = [&](CImageButton*) { return w.panel.RemoveButton(10); };
        Click(h, 20, 60);
        EXPECT_TRUE(IsWindow(h)) << "the removed close button still acted";

        w.Add(5, RECT{10, 50, 60, 80});
        w.onClick = [&](CImageButton*) { return DestroyWindow(h) != FALSE; };
        EXPECT_EQ(1, Click(h, 20, 60)) << "after the window is gone the click counts as taken over";
        EXPECT_FALSE(IsWindow(h));

        // The object makes a working window again, starting empty and tracking the mouse anew.
        EXPECT_TRUE(w.panel.buttons.empty());
        EXPECT_FALSE(w.panel.tracking) << "mouse tracking of the old window survived";
        h = w.Open();
        w.Add(1, RECT{10, 50, 60, 80});
        w.onClick = nullptr;
        w.clicks.clear();
        Click(h, 20, 60);
        EXPECT_EQ(std::vector<int>{1}, w.clicks);
        DestroyWindow(h);
    });
}

TEST(Panel, CaptionDragStartsAtRow40AndNotBelow) {
    testutil::RunWithManager([] {
        PanelWindow w;
        HWND h = w.Open();
        w.panel.captionDrag = true;
        w.Add(1, RECT{370, 0, 395, 25});
        LPARAM lp = 0;
        auto pressPosts = [&](int x, int y) {
            Press(h, x, y);
            MSG msg;
            // Taken off the queue so that no system move loop starts.
            bool posted = PeekMessageW(&msg, h, WM_NCLBUTTONDOWN, WM_NCLBUTTONDOWN, PM_REMOVE) != FALSE;
            if (posted) lp = msg.wParam == HTCAPTION ? msg.lParam : -1;
            SendMouse(h, WM_LBUTTONUP, x, y);
            return posted;
        };
        EXPECT_TRUE(pressPosts(200, 40));
        EXPECT_EQ((LPARAM)((40 << 16) | 200), lp);
        EXPECT_FALSE(pressPosts(200, 41));
        EXPECT_FALSE(pressPosts(375, 5)) << "a press on a button started a drag";
        w.panel.captionRect = {0, 100, 50, 150};
        EXPECT_TRUE(pressPosts(10, 120));
        EXPECT_FALSE(pressPosts(200, 20)) << "outside an explicit caption";
        w.panel.captionDrag = false;
        EXPECT_FALSE(pressPosts(10, 120));
        DestroyWindow(h);
    });
}

TEST(Panel, SizingBordersAlsoOnNegativeScreenCoordinates) {
    testutil::RunWithManager([] {
        PanelWindow w;
        HWND h = w.Open();
        auto hit = [&](int sx, int sy) { return SendMessageW(h, WM_NCHITTEST, 0, MAKELPARAM((short)sx, (short)sy)); };
        EXPECT_EQ(HTCLIENT, hit(202, 202)) << "not resizable";
        w.resizable = true;
        EXPECT_EQ(HTTOPLEFT, hit(202, 202));
        EXPECT_EQ(HTTOP, hit(203, 202));
        EXPECT_EQ(HTRIGHT, hit(597, 205));
        EXPECT_EQ(HTRIGHT, hit(597, 202)) << "the right border outranks the top one";
        EXPECT_EQ(HTTOPRIGHT, hit(598, 202));
        EXPECT_EQ(HTBOTTOMLEFT, hit(203, 497));
        EXPECT_EQ(HTBOTTOM, hit(300, 498));
        EXPECT_EQ(HTCLIENT, hit(300, 497));

        // A window on a monitor left of and above the primary one.
        SetWindowPos(h, nullptr, -500, -400, 400, 300, SWP_NOZORDER | SWP_NOACTIVATE);
        RECT wr;
        GetWindowRect(h, &wr);
        ASSERT_LT(wr.left, 0) << "the window could not be placed at negative coordinates";
        EXPECT_EQ(HTTOPLEFT, hit(wr.left + 2, wr.top + 2));
        EXPECT_EQ(HTRIGHT, hit(wr.right - 3, wr.top + 50));
        EXPECT_EQ(HTCLIENT, hit(wr.left + 100, wr.top + 100));
        DestroyWindow(h);
    });
}

TEST(Panel, LayoutSizeLimitsAndCutCorners) {
    testutil::RunWithManager([] {
        PanelWindow w;
        w.cutCorners = true;
        HWND h = w.Open(100, 100, 300, 200);
        CImageButton* b = w.Add(7, RECT{100, 0, 125, 25});
        b->rightMargin = 25;
        w.Add(8, RECT{0, 10, 30, 30})->bottomMargin = 5;
        CImageStatic* bar = w.panel.AddStatic(IDB_TITLE_BACKGROUND, 11, true, RECT{0, 0, 100, 25});
        bar->rightMargin = 0;
        bar->fixedLeft = 0;
        SetWindowPos(h, nullptr, 0, 0, 400, 300, SWP_NOMOVE | SWP_NOZORDER);
        EXPECT_EQ(350, b->rect.left) << "right-anchored button did not keep its width";
        EXPECT_EQ(375, b->rect.right);
        EXPECT_EQ(275, w.panel.FindButton(8)->rect.top);
        EXPECT_EQ(295, w.panel.FindButton(8)->rect.bottom);
        EXPECT_EQ(0, bar->rect.left) << "a static with a fixed left edge stretches";
        EXPECT_EQ(400, bar->rect.right);

        HRGN region = CreateRectRgn(0, 0, 0, 0);
        ASSERT_NE(ERROR, GetWindowRgn(h, region));
        EXPECT_FALSE(PtInRegion(region, 0, 0)) << "top-left corner not cut";
        EXPECT_FALSE(PtInRegion(region, 399, 299)) << "bottom-right corner not cut";
        EXPECT_TRUE(PtInRegion(region, 1, 1) && PtInRegion(region, 200, 150));
        DeleteObject(region);

        w.minWidth = 300;
        w.minHeight = 200;
        SetWindowPos(h, nullptr, 0, 0, 100, 100, SWP_NOMOVE | SWP_NOZORDER);
        RECT r;
        GetWindowRect(h, &r);
        EXPECT_EQ(300, r.right - r.left) << "minimum size not enforced";
        EXPECT_EQ(200, r.bottom - r.top);
        MINMAXINFO info = {};
        SendMessageW(h, WM_GETMINMAXINFO, 0, (LPARAM)&info);
        RECT work;
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        EXPECT_EQ(300, info.ptMinTrackSize.x);
        EXPECT_EQ(work.right - work.left, info.ptMaxSize.x) << "maximised size is the work area";
        w.minWidth = w.minHeight = 0;
        w.fixedWidth = 250;
        w.fixedHeight = 150;
        SetWindowPos(h, nullptr, 0, 0, 500, 500, SWP_NOMOVE | SWP_NOZORDER);
        GetWindowRect(h, &r);
        EXPECT_EQ(250, r.right - r.left) << "fixed size not enforced";
        EXPECT_EQ(150, r.bottom - r.top);
        DestroyWindow(h);
    });
}
