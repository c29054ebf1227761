// The window base: class registration, creation, routing of messages to the
// object's handlers, object and window lifetimes, and the off-screen DC.
#include <gtest/gtest.h>
#include <functional>
#include <string>
#include <vector>
#include "UiTestSupport.h"
#include "ui/AppManager.h"
#include "common/TestUtil.h"
#include "ui/WindowCtrl.h"

namespace {

// A manager that runs a test body and records the messages of windows without objects.
class RecordingManager : public CAppManager {
public:
    explicit RecordingManager(std::function<void(RecordingManager&)> body) : body_(std::move(body)) {}
    bool OnInit() override {
        body_(*this);
        return false;
    }
    int OnOrphanMessage(HWND h, UINT msg, WPARAM, LPARAM) override {
        orphans.push_back({h, msg});
        return 0;
    }
    struct Orphan {
        HWND hwnd;
        UINT msg;
    };
    std::vector<Orphan> orphans;

private:
    std::function<void(RecordingManager&)> body_;
};

void WithRecordingManager(std::function<void(RecordingManager&)> body) {
    RecordingManager m(std::move(body));
    m.Run();
}

// Records which handlers ran, in order.
class Probe : public CWindowCtrl {
public:
    std::vector<std::string> calls;
    LRESULT createResult = 0;
    LRESULT hitResult = 0;
    POINT hitPoint = {0, 0};
    UINT_PTR timerId = 0;

    LRESULT HandleMessage(UINT msg, WPARAM, LPARAM) override {
        if (msg == WM_NCCREATE) calls.push_back("NcCreate");
        if (msg == WM_CREATE) return createResult;
        return 0;
    }
    void OnCreate(CREATESTRUCTW*) override { calls.push_back("OnCreate"); }
    void OnDestroy() override { calls.push_back("OnDestroy"); }
    void OnGetMinMaxInfo(MINMAXINFO*) override { calls.push_back("OnGetMinMaxInfo"); }
    LRESULT OnNcHitTest(int x, int y) override {
        hitPoint = {x, y};
        return hitResult ? hitResult : CWindowCtrl::OnNcHitTest(x, y);
    }
    void OnTimer(UINT_PTR id) override { timerId = id; }
};

bool Contains(const std::vector<std::string>& v, const char* s) {
    for (const std::string& x : v)
        if (x == s) return true;
    return false;
}

}  // namespace

TEST(WindowBase, MinMaxInfoBeforeNcCreateIsAnOrphanMessage) {
    WithRecordingManager([](RecordingManager& m) {
        Probe probe;
        // An overlapped window asks for its size limits before WM_NCCREATE.
        HWND h = probe.Create(0, L"VmProbe", L"probe", WS_OVERLAPPEDWINDOW, 10, 10, 200, 100, nullptr);
        ASSERT_NE(nullptr, h);
        bool orphanMinMax = false;
        for (const RecordingManager::Orphan& o : m.orphans)
            if (o.msg == WM_GETMINMAXINFO && o.hwnd == h) orphanMinMax = true;
        EXPECT_TRUE(orphanMinMax) << "the manager never saw the early WM_GETMINMAXINFO";
        ASSERT_FALSE(probe.calls.empty());
        EXPECT_EQ("NcCreate", probe.calls.front()) << "a handler ran before the object was attached";
        DestroyWindow(h);
    });
}

TEST(WindowBase, NonzeroHandleMessageTakesTheMessageOver) {
    testutil::RunWithManager([] {
        Probe probe;
        probe.createResult = 5;
        HWND h = probe.Create(0, L"VmProbe", L"", WS_POPUP, 0, 0, 50, 50, nullptr);
        ASSERT_NE(nullptr, h) << "a nonzero WM_CREATE result other than -1 lets creation go on";
        EXPECT_FALSE(Contains(probe.calls, "OnCreate"));
        EXPECT_EQ(5, SendMessageW(h, WM_CREATE, 0, 0)) << "the nonzero value is the message result";
        EXPECT_FALSE(Contains(probe.calls, "OnCreate"));
        DestroyWindow(h);

        Probe plain;
        HWND p = plain.Create(0, L"VmProbe", L"", WS_POPUP, 0, 0, 50, 50, nullptr);
        ASSERT_NE(nullptr, p);
        EXPECT_TRUE(Contains(plain.calls, "OnCreate"));
        DestroyWindow(p);
    });
}

TEST(WindowBase, TimerAndHitTestResults) {
    testutil::RunWithManager([] {
        Probe probe;
        HWND h = probe.Create(0, L"VmProbe", L"", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, nullptr);
        ASSERT_NE(nullptr, h);
        EXPECT_EQ(1, SendMessageW(h, WM_TIMER, 77, 0));
        EXPECT_EQ(77u, probe.timerId);
        // A real timer reaches OnTimer through the message loop.
        SetTimer(h, 78, 10, nullptr);
        EXPECT_TRUE(testutil::PumpUntil([&] { return probe.timerId == 78; }, 2000)) << "timer 78 never arrived";
        KillTimer(h, 78);

        probe.hitResult = 12345;
        EXPECT_EQ(12345, SendMessageW(h, WM_NCHITTEST, 0, MAKELPARAM(-5, -7)));
        EXPECT_EQ(-5, probe.hitPoint.x) << "screen coordinates are signed";
        EXPECT_EQ(-7, probe.hitPoint.y);
        probe.hitResult = 0;
        EXPECT_EQ(HTCLIENT, SendMessageW(h, WM_NCHITTEST, 0, MAKELPARAM(5, 5)));
        DestroyWindow(h);
    });
}

TEST(WindowBase, OneWindowPerObjectAndRecreationAfterDestroy) {
    testutil::RunWithManager([] {
        Probe probe;
        HWND first = probe.Create(0, L"VmOnce", L"", WS_POPUP, 0, 0, 50, 50, nullptr);
        HWND second = probe.Create(0, L"VmOnce", L"", WS_POPUP, 0, 0, 50, 50, nullptr);
        EXPECT_EQ(first, second);
        EXPECT_EQ(1, uitest::ThreadWindowCount(L"VmOnce"));
        DestroyWindow(first);
        EXPECT_EQ(nullptr, probe.hwnd) << "WM_NCDESTROY detaches the object";
        EXPECT_TRUE(Contains(probe.calls, "OnDestroy"));
        HWND again = probe.Create(0, nullptr, L"", WS_POPUP, 0, 0, 50, 50, nullptr);
        EXPECT_TRUE(IsWindow(again)) << "the object makes a new window once the old one is gone";
        EXPECT_EQ(1, uitest::ThreadWindowCount(L"VmOnce"));
        DestroyWindow(again);
    });
}

TEST(WindowBase, DestroyingTheObjectClosesItsWindow) {
    testutil::RunWithManager([] {
        Probe* probe = new Probe;
        HWND h = probe->Create(0, L"VmClose", L"", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, nullptr);
        ASSERT_TRUE(IsWindow(h));
        delete probe;
        EXPECT_EQ(nullptr, CAppManager::FromCurrentThread()->WindowFromHandle(h)) << "object still registered";
        EXPECT_TRUE(testutil::PumpUntil([&] { return !IsWindow(h); }, 2000)) << "the orphaned window stayed open";

        // An object whose window is already gone posts nothing.
        Probe* gone = new Probe;
        HWND g = gone->Create(0, L"VmClose", L"", WS_POPUP, 0, 0, 50, 50, nullptr);
        DestroyWindow(g);
        delete gone;
        MSG msg;
        EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_CLOSE, WM_CLOSE, PM_NOREMOVE)) << "a WM_CLOSE was posted";
    });
}

TEST(WindowBase, ClassNamesAndRegistration) {
    // Without a manager on the thread nothing is created or registered.
    Probe orphan;
    EXPECT_EQ(nullptr, orphan.Create(0, L"VmNoManager", L"", WS_POPUP, 0, 0, 10, 10, nullptr));
    WNDCLASSEXW info = {sizeof(info)};
    EXPECT_FALSE(GetClassInfoExW(GetModuleHandleW(nullptr), L"VmNoManager", &info));

    testutil::RunWithManager([] {
        Probe probe;
        probe.SetClassName(std::wstring(70, L'n').c_str());
        HWND h = probe.Create(0, nullptr, L"", WS_POPUP, 0, 0, 10, 10, nullptr);
        ASSERT_NE(nullptr, h);
        wchar_t cls[128] = {0};
        GetClassNameW(h, cls, 128);
        EXPECT_EQ(std::wstring(63, L'n'), cls) << "long class names are cut to 63 characters";
        DestroyWindow(h);

        EXPECT_TRUE(CWindowCtrl::RegisterWindowClass(L"VmTwice"));
        EXPECT_TRUE(CWindowCtrl::RegisterWindowClass(L"VmTwice"));
        // A class registered behind the toolkit's back counts as registered.
        WNDCLASSEXW wc = {sizeof(wc)};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = g_toolkitInstance;
        wc.lpszClassName = L"VmElsewhere";
        ASSERT_TRUE(RegisterClassExW(&wc));
        EXPECT_TRUE(CWindowCtrl::RegisterWindowClass(L"VmElsewhere"));
    });
}
