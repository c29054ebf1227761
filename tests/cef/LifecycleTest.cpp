// Starting and ending the engine: nothing may be left behind, and a missing
// engine means no browser, quietly.
#include <gtest/gtest.h>
#include "CefTestSupport.h"
#include "common/TestUtil.h"
#include "src/engine.h"

using namespace ceftest;

namespace {

class EnvironmentOverride {
public:
    EnvironmentOverride(const wchar_t* name, const wchar_t* value) : name_(name) {
        SetEnvironmentVariableW(name, value);
    }
    ~EnvironmentOverride() { SetEnvironmentVariableW(name_, nullptr); }

private:
    const wchar_t* name_;
};

TEST(EngineLifecycle, AMissingEngineMeansNoBrowserAndACleanShutdown) {
    EnvironmentOverride engine(L"VORNMARK_ENGINE", L"C:\\no\\such\\engine\\chromium.exe");
    testutil::TempDir cache;
    ASSERT_TRUE(InitializeEngine(cache.path()));
    {
        HostWindow host(800, 600);
        CefRefPtr<RecordingClient> client = new RecordingClient();
        EXPECT_TRUE(CreateChildBrowser(host.hwnd(), client.get(), "http://127.0.0.1:1/"));
        PumpFor(2000);
        EXPECT_TRUE(client->Lines().empty()) << testing::PrintToString(client->Lines());
        EXPECT_FALSE(cef_internal::GetEngineInfo().running);
        // Nothing was made for it either.
        EXPECT_TRUE(ProcessWindows(L"CefBrowserWindow").empty());
    }
    DWORD t0 = GetTickCount();
    CefShutdown();
    EXPECT_LT(GetTickCount() - t0, 2000u);
    EXPECT_TRUE(LiveChildProcesses().empty());
}

TEST(EngineLifecycle, ShutdownEndsTheEngineTheRenderProcessAndEveryThread) {
    HttpServer server;
    ASSERT_TRUE(server.Start());
    server.SetHtml("/page.html", "<html><head><title>p</title></head><body>page</body></html>");
    testutil::TempDir cache;
    ASSERT_TRUE(InitializeEngine(cache.path()));
    CefRefPtr<RecordingClient> client = new RecordingClient();
    HostWindow* host = new HostWindow(800, 600);
    ASSERT_TRUE(CreateChildBrowser(host->hwnd(), client.get(), server.Url("/page.html")));
    ASSERT_TRUE(WaitUntil([&] { return !client->With("end main").empty(); }, 20000))
        << testing::PrintToString(client->Lines());
    cef_internal::EngineInfo info = cef_internal::GetEngineInfo();
    ASSERT_TRUE(info.running);
    ASSERT_NE(0u, info.processId);
    ASSERT_FALSE(ProcessTreeGone(info.processId, false));
    // The engine's profile is the cache folder.
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(cache.file(L"DevToolsActivePort").c_str()));
    EXPECT_FALSE(LiveChildProcesses().empty());  // the render process
    // The browser is still open: shutting down closes it.
    CefShutdown();
    EXPECT_TRUE(client->Has("closed"));
    EXPECT_TRUE(ProcessTreeGone(info.processId)) << "engine pid " << info.processId;
    EXPECT_TRUE(LiveChildProcesses().empty());
    delete host;
    PumpFor(100);
    // A second start in the same process works as the first did, and leaves no more
    // threads behind than the first (Wine starts helper threads of its own on first use).
    int threadsBefore = ThreadCount();
    ASSERT_TRUE(InitializeEngine(cache.path()));
    CefRefPtr<RecordingClient> again = new RecordingClient();
    {
        HostWindow second(640, 480);
        ASSERT_TRUE(CreateChildBrowser(second.hwnd(), again.get(), server.Url("/page.html")));
        EXPECT_TRUE(WaitUntil([&] { return !again->With("end main 200").empty(); }, 20000))
            << testing::PrintToString(again->Lines());
    }
    EXPECT_TRUE(again->WaitFor("closed", 5000));
    DWORD second = cef_internal::GetEngineInfo().processId;
    CefShutdown();
    EXPECT_TRUE(ProcessTreeGone(second));
    EXPECT_TRUE(LiveChildProcesses().empty());
    // The test server's connection threads end when the engine's sockets close; a
    // thread of ours left behind would stay.
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore; }, 3000))
        << "threads before " << threadsBefore << ", now " << ThreadCount();
}

TEST(EngineLifecycle, AnEngineThatDiesIsReportedAndShutdownStillEndsCleanly) {
    HttpServer server;
    ASSERT_TRUE(server.Start());
    server.SetHtml("/page.html", "<html><body style='background:#00f'>page</body></html>");
    testutil::TempDir cache;
    ASSERT_TRUE(InitializeEngine(cache.path()));
    CefRefPtr<RecordingClient> client = new RecordingClient();
    {
        HostWindow host(640, 480);
        ASSERT_TRUE(CreateChildBrowser(host.hwnd(), client.get(), server.Url("/page.html")));
        ASSERT_TRUE(WaitUntil([&] { return !client->With("end main 200").empty(); }, 20000))
            << testing::PrintToString(client->Lines()) << " port " << server.port();
        cef_internal::EngineInfo info = cef_internal::GetEngineInfo();
        ASSERT_TRUE(info.linuxProcess) << "this test ends the engine the Linux way";
        // The engine dies under us (its whole process group at once).
        ASSERT_TRUE(StartLinuxProgram(L"Z:\\bin\\kill", L"-KILL -- -" + std::to_wstring(info.processId)));
        ASSERT_TRUE(WaitUntil([&] { return !client->With("terminated").empty(); }, 10000))
            << testing::PrintToString(client->Lines());
        EXPECT_EQ("terminated " + std::to_string(TS_ABNORMAL_TERMINATION), client->With("terminated")[0]);
        HWND view = client->Browser()->GetHost()->GetWindowHandle();
        EXPECT_TRUE(WaitUntil([&] {
            HDC dc = GetDC(view);
            COLORREF c = GetPixel(dc, 5, 5);
            ReleaseDC(view, dc);
            return c == RGB(240, 240, 240);
        }, 3000));
        // Calls on a browser whose engine has gone are quiet no-ops.
        client->Browser()->Reload();
        client->Browser()->GetMainFrame()->LoadURL(server.Url("/page.html"));
        EXPECT_TRUE(WaitUntil([&] { return ProcessTreeGone(info.processId, false); }, 3000) ||
                    ProcessTreeGone(info.processId));  // names what is left
    }
    DWORD t0 = GetTickCount();
    CefShutdown();
    EXPECT_LT(GetTickCount() - t0, 8000u);
    EXPECT_TRUE(client->Has("closed"));
    EXPECT_TRUE(LiveChildProcesses().empty());
}

}  // namespace
