// The application manager: window list, pre-translation along the parent chain.
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>
#include "ui/AppManager.h"
#include "common/TestUtil.h"
#include "ui/WindowCtrl.h"

namespace {

std::vector<std::string>* g_trace = nullptr;

class TracingWindow : public CWindowCtrl {
public:
    TracingWindow(const char* name, int consume) : name_(name), consume_(consume) {}
    int PreTranslateMessage(MSG*) override {
        if (g_trace) g_trace->push_back(name_);
        return consume_;
    }

private:
    std::string name_;
    int consume_;
};

class TracingManager : public CAppManager {
public:
    explicit TracingManager(std::function<void(TracingManager&)> body) : body_(body) {}
    bool OnInit() override {
        body_(*this);
        return false;
    }
    int PreTranslateMessage(MSG*) override {
        if (g_trace) g_trace->push_back("app");
        return appConsumes;
    }
    int appConsumes = 0;

private:
    std::function<void(TracingManager&)> body_;
};

}  // namespace

TEST(AppManager, KeyInChildIsOfferedToChildThenAncestorsThenApplication) {
    std::vector<std::string> trace;
    g_trace = &trace;
    bool ran = false;
    TracingManager manager([&](TracingManager& m) {
        ran = true;
        TracingWindow top("top", 0), middle("middle", 0), leaf("leaf", 0);
        ASSERT_TRUE(top.Create(0, L"VmTestTop", L"", WS_POPUP, 0, 0, 100, 100, nullptr));
        // A window without an object in the chain is skipped, its parent still tried.
        HWND bare = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 50, 50, top.hwnd, nullptr, nullptr, nullptr);
        ASSERT_TRUE(bare);
        ASSERT_TRUE(middle.Create(0, L"VmTestMid", L"", WS_CHILD, 0, 0, 40, 40, bare));
        ASSERT_TRUE(leaf.Create(0, L"VmTestLeaf", L"", WS_CHILD, 0, 0, 20, 20, middle.hwnd));

        MSG msg = {};
        msg.hwnd = leaf.hwnd;
        msg.message = WM_KEYDOWN;
        msg.wParam = VK_ESCAPE;
        EXPECT_FALSE(m.PreTranslate(&msg));
        EXPECT_EQ((std::vector<std::string>{"leaf", "middle", "top", "app"}), trace);

        trace.clear();
        m.appConsumes = 1;
        EXPECT_TRUE(m.PreTranslate(&msg));
        m.appConsumes = 0;

        DestroyWindow(top.hwnd);
        EXPECT_EQ(nullptr, leaf.hwnd) << "destroying the window must detach its object";
    });
    manager.Run();
    g_trace = nullptr;
    EXPECT_TRUE(ran);
}

TEST(AppManager, ConsumingWindowStopsTheChain) {
    std::vector<std::string> trace;
    g_trace = &trace;
    testutil::RunWithManager([&] {
        CAppManager* m = CAppManager::FromCurrentThread();
        ASSERT_NE(nullptr, m);
        TracingWindow top("top", 0), leaf("leaf", 1);
        ASSERT_TRUE(top.Create(0, L"VmTestTop", L"", WS_POPUP, 0, 0, 100, 100, nullptr));
        ASSERT_TRUE(leaf.Create(0, L"VmTestLeaf", L"", WS_CHILD, 0, 0, 20, 20, top.hwnd));
        MSG msg = {};
        msg.hwnd = leaf.hwnd;
        msg.message = WM_KEYDOWN;
        EXPECT_TRUE(m->PreTranslate(&msg));
        EXPECT_EQ(std::vector<std::string>{"leaf"}, trace);
    });
    g_trace = nullptr;
}

TEST(AppManager, WindowListRefusesDuplicatesAndIgnoresUnknownRemovals) {
    testutil::RunWithManager([] {
        CAppManager* m = CAppManager::FromCurrentThread();
        ASSERT_NE(nullptr, m);
        CWindowCtrl a, b;
        a.hwnd = (HWND)0x1234;
        b.hwnd = (HWND)0x1234;
        size_t before = m->windows.size();
        EXPECT_TRUE(m->AddWindow(a.hwnd, &a));
        EXPECT_FALSE(m->AddWindow(b.hwnd, &b));
        EXPECT_EQ(before + 1, m->windows.size());
        EXPECT_EQ(&a, m->WindowFromHandle((HWND)0x1234));
        EXPECT_EQ(nullptr, m->WindowFromHandle(nullptr));
        m->RemoveWindow((HWND)0x9999);
        EXPECT_EQ(before + 1, m->windows.size());
        m->RemoveWindow((HWND)0x1234);
        EXPECT_EQ(before, m->windows.size());
        EXPECT_EQ(nullptr, a.hwnd) << "removal clears the object's handle";
        b.hwnd = nullptr;
    });
}

TEST(AppManager, RegistryFindsTheManagerOfTheCallingThreadOnly) {
    EXPECT_EQ(nullptr, CAppManager::FromCurrentThread());
    EXPECT_EQ(nullptr, CAppManager::FastPointer());
    testutil::RunWithManager([] {
        CAppManager* mine = CAppManager::FromCurrentThread();
        ASSERT_NE(nullptr, mine);
        EXPECT_EQ(mine, CAppManager::FastPointer());
        EXPECT_EQ(GetCurrentThreadId(), mine->threadId);

        // A second manager on the same thread does nothing.
        bool secondRan = false;
        testutil::RunWithManager([&] { secondRan = true; });
        EXPECT_FALSE(secondRan);

        // Another thread sees no manager of its own; its loop is refused here.
        CAppManager* seen = mine;
        std::thread([&seen] { seen = CAppManager::FromCurrentThread(); }).join();
        EXPECT_EQ(nullptr, seen);
    });
    EXPECT_EQ(nullptr, CAppManager::FromCurrentThread());
    EXPECT_EQ(nullptr, CAppManager::FastPointer());
}

TEST(AppManager, MessageLoopRunsOnlyOnItsThreadAndOnlyOnce) {
    testutil::RunWithManager([] {
        CAppManager* m = CAppManager::FromCurrentThread();
        ASSERT_NE(nullptr, m);
        bool otherThread = true;
        std::thread([&] { otherThread = m->RunMessageLoop(); }).join();
        EXPECT_FALSE(otherThread) << "the loop must refuse another thread";

        // On its own thread it runs until WM_QUIT; a nested call is refused.
        bool nested = true;
        bool sawProbe = false;
        // Use a window whose handler runs the nested call from inside the loop.
        class Probe : public CWindowCtrl {
        public:
            bool* nested;
            bool* saw;
            LRESULT HandleMessage(UINT msg, WPARAM, LPARAM) override {
                if (msg == WM_USER + 5) {
                    *saw = true;
                    *nested = manager->RunMessageLoop();
                    PostQuitMessage(0);
                    return 1;
                }
                return 0;
            }
        } probe;
        probe.nested = &nested;
        probe.saw = &sawProbe;
        ASSERT_TRUE(probe.Create(0, L"VmLoopProbe", L"", WS_POPUP, 0, 0, 10, 10, nullptr));
        PostMessageW(probe.hwnd, WM_USER + 5, 0, 0);
        EXPECT_TRUE(m->RunMessageLoop());
        EXPECT_TRUE(sawProbe);
        EXPECT_FALSE(nested) << "a nested call of the manager's loop must be refused";
        DestroyWindow(probe.hwnd);
    });
}
