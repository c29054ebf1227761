// Test entry point. The render processes the tests start are this executable
// again (the browser layer starts its own executable), so a launch with a process
// type runs the product's start-up exactly as the product's entry point does.
#include <windows.h>
#include <ole2.h>
#include <gtest/gtest.h>
#include <cstdio>
#include <memory>
#include "app/GameApp.h"
#include "include/cef_app.h"
#include "common/TestEntry.h"
#include "render/RenderTestEnv.h"
#include "src/engine/devtools.h"

namespace rendertest {
namespace {

std::unique_ptr<Engine> g_engine;
std::unique_ptr<PageServer> g_server;
testutil::TempDir* g_cacheDir = nullptr;

class RenderEnvironment : public testing::Environment {
public:
    void SetUp() override {
        g_cacheDir = new testutil::TempDir();
        KeepLayerEngineOff();
        // The engine layer's UI thread delivers render-process messages.
        CefSettings settings;
        settings.no_sandbox = 1;
        settings.multi_threaded_message_loop = 1;
        settings.command_line_args_disabled = 1;
        CefString(&settings.cache_path) = g_cacheDir->path();
        ASSERT_TRUE(CefInitialize(CefMainArgs(GetModuleHandleW(nullptr)), settings, nullptr, nullptr));
    }
    void TearDown() override {
        g_engine.reset();
        g_server.reset();
        CefShutdown();
        delete g_cacheDir;
        g_cacheDir = nullptr;
    }
};

// Browser side of the test that kills its browser process: starts a render
// process for the given page, reports its pid on stdout and waits to be ended.
int RunHostChild(int argc, wchar_t** argv) {
    if (argc < 5) return 2;
    int port = _wtoi(argv[2]);
    std::string path = CefString(argv[3]).ToString();
    std::string target = CefString(argv[4]).ToString();
    auto connection = std::make_shared<cef_internal::DevToolsConnection>();
    if (!connection->Connect(port, path, 10000)) return 3;
    cef_internal::RenderHost* host = cef_internal::RenderHost::Start(7, connection, target, nullptr);
    if (!host) return 3;
    printf("PID %lu\n", host->ProcessId());
    fflush(stdout);
    Sleep(INFINITE);  // the test ends this process by its handle
    return 0;
}

}  // namespace

// Started by the first test that needs them (tests run on the main thread only),
// so the tests that need no engine run even where none can start.
Engine* SharedEngine() {
    static bool tried = false;
    if (!tried) {
        tried = true;
        g_server.reset(new PageServer());
        g_engine.reset(new Engine());
        if (!g_server->Start() || !g_engine->Start()) {
            g_engine.reset();
            g_server.reset();
        }
    }
    return g_engine.get();
}

PageServer* SharedServer() { return SharedEngine() ? g_server.get() : nullptr; }

}  // namespace rendertest

int wmain(int argc, wchar_t** argv) {
    if (testutil::StartedAsSubProcess()) return testutil::RunAsSubProcess();
    if (argc >= 2 && wcscmp(argv[1], L"--render-host-child") == 0) return rendertest::RunHostChild(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    testing::AddGlobalTestEnvironment(new rendertest::RenderEnvironment());
    return RUN_ALL_TESTS();
}
