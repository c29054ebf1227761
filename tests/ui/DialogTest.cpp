// The skinned dialog's modal loop: results, nesting, ends by destruction,
// by WM_QUIT, and refusals.
#include <gtest/gtest.h>
#include <functional>
#include <string>
#include <thread>
#include <vector>
#include "UiTestSupport.h"
#include "common/TestUtil.h"
#include "ui/ImageDialog.h"

namespace {

class Dialog : public CImageDialog {
public:
    std::function<void(UINT_PTR)> onTimer;
    std::function<bool(CImageButton*)> onClick;
    void OnTimer(UINT_PTR id) override {
        if (onTimer) onTimer(id);
    }
    bool OnItemClick(CImageButton* b) override { return onClick ? onClick(b) : true; }
};

HWND Open(Dialog& d, int x = 300, int y = 200) {
    return d.Create(0, nullptr, L"", WS_POPUP | WS_VISIBLE, x, y, 295, 190, nullptr);
}

// Queues a real click at a client point; the modal loop delivers it.
void PostClick(HWND h, int x, int y) {
    POINT pt = {x, y};
    ClientToScreen(h, &pt);
    SetCursorPos(pt.x, pt.y);
    PostMessageW(h, WM_MOUSEMOVE, 0, MAKELPARAM(x, y));
    PostMessageW(h, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
    PostMessageW(h, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
}

}  // namespace

TEST(Dialog, ClickThatSetsTheResultAndDestroysEndsTheLoop) {
    testutil::RunWithManager([] {
        Dialog d;
        HWND h = Open(d);
        ASSERT_TRUE(IsWindow(h));
        EXPECT_EQ(0, wcscmp(d.className, L"ImageDialog"));
        EXPECT_EQ(IDCANCEL, d.result);
        d.panel.AddButton(1001, 0, 0, 0, 0, RECT{40, 140, 108, 175});
        d.onClick = [&](CImageButton* b) {
            d.result = 1;
            d.modalRunning = false;
            DestroyWindow(d.hwnd);
            return false;
        };
        PostClick(h, 50, 150);
        EXPECT_TRUE(d.RunModal());
        EXPECT_EQ(1, d.result);
        EXPECT_FALSE(d.modalRunning);
        EXPECT_FALSE(IsWindow(h));
    });
}

TEST(Dialog, BuiltInCloseLeavesTheResult) {
    testutil::RunWithManager([] {
        Dialog d;
        HWND h = Open(d);
        d.panel.AddButton(10, 0, 0, 0, 0, RECT{265, 5, 290, 30});
        d.result = 2;
        PostClick(h, 270, 10);
        EXPECT_TRUE(d.RunModal());
        EXPECT_FALSE(IsWindow(h));
        EXPECT_EQ(2, d.result);
        // Nothing left behind for an outer loop.
        MSG msg;
        EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE)) << "the close posted WM_QUIT";
    });
}

TEST(Dialog, NestedLoops) {
    testutil::RunWithManager([] {
        std::vector<std::string> events;
        Dialog outer, inner;
        HWND ho = Open(outer, 200, 200);
        outer.onTimer = [&](UINT_PTR id) {
            if (id != 1) return;
            KillTimer(outer.hwnd, 1);
            events.push_back("inner starts");
            Open(inner, 260, 240);
            SetTimer(inner.hwnd, 2, 20, nullptr);
            bool ran = inner.RunModal();
            events.push_back(std::string("inner ended ") + (ran ? "true " : "false ") + std::to_string(inner.result));
            EXPECT_TRUE(outer.modalRunning) << "the inner loop ended the outer one";
            // A second loop on a running dialog is refused.
            EXPECT_FALSE(outer.RunModal());
            outer.result = 1;
            DestroyWindow(outer.hwnd);
        };
        inner.onTimer = [&](UINT_PTR id) {
            if (id != 2) return;
            KillTimer(inner.hwnd, 2);
            events.push_back("inner timer");
            EXPECT_FALSE(inner.RunModal()) << "RunModal while running";
            inner.result = 7;
            inner.modalRunning = false;
            DestroyWindow(inner.hwnd);
        };
        SetTimer(ho, 1, 20, nullptr);
        EXPECT_TRUE(outer.RunModal());
        events.push_back("outer ended " + std::to_string(outer.result));
        EXPECT_EQ((std::vector<std::string>{"inner starts", "inner timer", "inner ended true 7", "outer ended 1"}),
                  events);
    });
}

TEST(Dialog, EndsOnQuitOnAGoneWindowAndRefusesOtherThreads) {
    testutil::RunWithManager([] {
        Dialog d;
        EXPECT_FALSE(d.RunModal()) << "a dialog that never had a window has no loop to run";
        HWND h = Open(d);
        ASSERT_TRUE(IsWindow(h));

        bool fromOtherThread = true;
        std::thread([&] { fromOtherThread = d.RunModal(); }).join();
        EXPECT_FALSE(fromOtherThread);
        EXPECT_FALSE(d.modalRunning);

        PostQuitMessage(3);
        EXPECT_TRUE(d.RunModal());
        EXPECT_TRUE(IsWindow(h)) << "WM_QUIT ends the loop, not the window";
        EXPECT_FALSE(d.modalRunning);
        MSG msg;
        EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE)) << "WM_QUIT posted again";

        // A window that is already gone: back at once, without waiting for a message.
        DestroyWindow(h);
        DWORD start = GetTickCount();
        EXPECT_TRUE(d.RunModal());
        EXPECT_LT(GetTickCount() - start, 1000u);

        // The window may be re-created and run again.
        h = Open(d);
        SetTimer(h, 9, 10, nullptr);
        d.onTimer = [&](UINT_PTR) { DestroyWindow(d.hwnd); };
        EXPECT_TRUE(d.RunModal());
        EXPECT_FALSE(IsWindow(h));
    });
}
