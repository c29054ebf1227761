// Starting and ending the engine: nothing may be left behind, and a missing
// engine means no browser, quietly.
#include <gtest/gtest.h>
#include "CefTestSupport.h"
#include "common/TestUtil.h"
#include "src/browser/browser_impl.h"
#include "src/browser/engine.h"

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
    // The engine's profile is the cache folder; the engine listens on no DevTools port
    // there (it would name it in this file), its DevTools going over its pipe only.
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(cache.file(L"Local State").c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(cache.file(L"DevToolsActivePort").c_str()));
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

// The engine's browser process dies in the middle of a session: the window shows
// the notice at once, a new engine comes up on the same profile, the page comes
// back at its address in the same window with its login, and the client hears
// only OnRenderProcessTerminated and the usual load events. A second death within
// the minute is left to the player, whose click on the notice brings it back.
TEST(EngineLifecycle, ADeadEngineComesBackWithItsPageAndItsLogin) {
    HttpServer server;
    ASSERT_TRUE(server.Start());
    Response login;
    login.body = "<html><body style='background:#00f'>logged in</body></html>";
    login.headers.push_back({"Set-Cookie", "player=hero; Path=/; HttpOnly"});  // a session cookie
    server.Set("/login", login);
    server.SetHtml("/page.html", "<html><body style='background:#00f'>page</body></html>");
    testutil::TempDir cache;
    ASSERT_TRUE(InitializeEngine(cache.path()));
    CefRefPtr<RecordingClient> client = new RecordingClient();
    DWORD lastEngine = 0;
    {
        HostWindow host(640, 480);
        ASSERT_TRUE(CreateChildBrowser(host.hwnd(), client.get(), server.Url("/login")));
        ASSERT_TRUE(client->WaitFor("end main 200 " + server.Url("/login"), 20000))
            << testing::PrintToString(client->Lines());
        CefRefPtr<CefBrowser> browser = client->Browser();
        browser->GetMainFrame()->LoadURL(server.Url("/page.html"));
        ASSERT_TRUE(client->WaitFor("end main 200 " + server.Url("/page.html"), 10000));
        HWND view = browser->GetHost()->GetWindowHandle();
        cef_internal::EngineInfo first = cef_internal::GetEngineInfo();
        ASSERT_TRUE(first.linuxProcess) << "this test ends the engine the Linux way";
        auto blue = [&] { return PixelNear(view, 5, 5, RGB(0, 0, 255)); };
        auto grey = [&] { return PixelAt(view, 5, 5) == RGB(240, 240, 240); };
        ASSERT_TRUE(WaitUntil(blue, 5000));
        auto notice = [&] {
            cef_internal::BrowserStats stats;
            return cef_internal::GetBrowserStats(browser, &stats) ? stats.notice : -1;
        };
        auto hasCookie = [&] {
            std::vector<Request> r = server.RequestsFor("/page.html");
            return !r.empty() && r.back().headers["cookie"].find("player=hero") != std::string::npos;
        };
        ASSERT_TRUE(hasCookie());

        // The engine's browser process dies.
        client->Clear();
        server.ClearRequests();
        DWORD t0 = GetTickCount();
        ASSERT_TRUE(StartLinuxProgram(L"Z:\\bin\\kill", L"-KILL " + std::to_wstring(first.processId)));
        ASSERT_TRUE(WaitUntil([&] { return !client->With("terminated").empty(); }, 5000))
            << testing::PrintToString(client->Lines());
        EXPECT_EQ("terminated " + std::to_string(TS_ABNORMAL_TERMINATION), client->With("terminated")[0]);
        EXPECT_TRUE(WaitUntil(grey, 3000)) << "no notice";
        DWORD noticed = GetTickCount() - t0;
        ASSERT_TRUE(client->WaitFor("end main 200 " + server.Url("/page.html"), 10000))
            << testing::PrintToString(client->Lines());
        ASSERT_TRUE(WaitUntil(blue, 5000)) << "the page's picture did not come back";
        DWORD back = GetTickCount() - t0;
        printf("MEASURE engine killed: notice after %lu ms, the page's picture back after %lu ms\n", noticed, back);
        EXPECT_LT(back, 5000u);
        EXPECT_TRUE(hasCookie()) << "the login did not survive the engine";
        EXPECT_EQ(0, notice());
        // The same browser in the same window; nothing closed, nothing created.
        EXPECT_EQ(1u, client->Browsers().size());
        EXPECT_EQ(view, browser->GetHost()->GetWindowHandle());
        EXPECT_FALSE(client->Has("closed"));
        EXPECT_TRUE(client->With("created").empty());
        cef_internal::EngineInfo second = cef_internal::GetEngineInfo();
        EXPECT_TRUE(second.running);
        EXPECT_EQ(first.starts + 1, second.starts);
        EXPECT_NE(first.processId, second.processId);
        EXPECT_TRUE(WaitUntil([&] { return ProcessTreeGone(first.processId, false); }, 3000) ||
                    ProcessTreeGone(first.processId));

        // Again within the minute: the notice stays, with the player's reload.
        client->Clear();
        ASSERT_TRUE(StartLinuxProgram(L"Z:\\bin\\kill", L"-KILL " + std::to_wstring(second.processId)));
        ASSERT_TRUE(WaitUntil([&] { return notice() == cef_internal::BrowserImpl::kEngineLost; }, 5000));
        PumpFor(2000);
        EXPECT_TRUE(client->With("end main").empty()) << "started again by itself";
        EXPECT_FALSE(cef_internal::GetEngineInfo().running);
        cef_internal::BrowserStats stats;
        ASSERT_TRUE(cef_internal::GetBrowserStats(browser, &stats));
        RECT button = stats.noticeButton;
        ASSERT_LT(button.left, button.right);
        POINT middle = {(button.left + button.right) / 2, (button.top + button.bottom) / 2};
        EXPECT_EQ(RGB(52, 120, 206), PixelAt(view, button.left + 3, middle.y));
        // Reloading through the browser does nothing but what the button does.
        PostMessageW(view, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(middle.x, middle.y));
        PostMessageW(view, WM_LBUTTONUP, 0, MAKELPARAM(middle.x, middle.y));
        EXPECT_TRUE(client->WaitFor("end main 200 " + server.Url("/page.html"), 10000))
            << testing::PrintToString(client->Lines());
        EXPECT_TRUE(WaitUntil(blue, 5000));
        EXPECT_TRUE(hasCookie());
        lastEngine = cef_internal::GetEngineInfo().processId;
        EXPECT_NE(second.processId, lastEngine);
    }
    DWORD t0 = GetTickCount();
    CefShutdown();
    EXPECT_LT(GetTickCount() - t0, 3000u);
    EXPECT_TRUE(client->Has("closed"));
    EXPECT_TRUE(ProcessTreeGone(lastEngine));
    EXPECT_TRUE(LiveChildProcesses().empty());
}

// Closing never waits long on the engine, whatever it does: frozen (every process
// stopped), a page that never yields, a page flooding us with events.
TEST(EngineLifecycle, ShutdownIsQuickWhateverTheEngineDoes) {
    struct Case {
        const char* what;
        const char* page;
        bool freeze;
    };
    const Case cases[] = {
        {"a frozen engine", "<html><body>still</body></html>", true},
        // Both start once the page has loaded.
        {"a page in an endless loop",
         "<html><body><script>onload=function(){setTimeout(function(){for(;;){}},200)}</script></body></html>", false},
        {"a page flooding events",
         "<html><body><script>onload=function(){setTimeout(function(){for(var i=0;;i++){console.log('flood '+i);}},"
         "200)}</script></body></html>",
         false},
    };
    HttpServer server;
    ASSERT_TRUE(server.Start());
    for (const Case& c : cases) {
        server.SetHtml("/case.html", c.page);
        testutil::TempDir cache;
        ASSERT_TRUE(InitializeEngine(cache.path()));
        CefRefPtr<RecordingClient> client = new RecordingClient();
        HostWindow* host = new HostWindow(640, 480);
        // Failures below still end in CefShutdown, so the next case starts clean.
        EXPECT_TRUE(CreateChildBrowser(host->hwnd(), client.get(), server.Url("/case.html")));
        EXPECT_TRUE(client->WaitFor("end main 200 " + server.Url("/case.html"), 20000)) << c.what;
        DWORD engine = cef_internal::GetEngineInfo().processId;
        EXPECT_NE(0u, engine);
        if (c.freeze && engine) {
            EXPECT_TRUE(StartLinuxProgram(L"Z:\\bin\\kill", L"-STOP -- -" + std::to_wstring(engine)));
            EXPECT_TRUE(WaitUntil([&] {
                for (const auto& p : EngineGroup(engine))
                    if (p.state != 'T') return false;
                return true;
            }, 5000)) << "the engine did not stop";
        } else {
            PumpFor(1000);  // the page's script under way
        }
        DWORD t0 = GetTickCount();
        CefShutdown();
        DWORD took = GetTickCount() - t0;
        printf("MEASURE shutdown with %s: %lu ms\n", c.what, took);
        EXPECT_LT(took, 2500u) << c.what;
        EXPECT_TRUE(ProcessTreeGone(engine)) << c.what;
        EXPECT_TRUE(LiveChildProcesses().empty()) << c.what;
        delete host;
        PumpFor(100);
    }
}

}  // namespace
