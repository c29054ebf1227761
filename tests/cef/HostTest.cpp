// The program's browser client handler and host window, alone and on the engine.
#include <gtest/gtest.h>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include "CefTestSupport.h"
#include "app/GameApp.h"
#include "browser/ClientHandler.h"
#include "browser/MyHtmlEx.h"
#include "common/StubBrowser.h"
#include "common/TestUtil.h"
#include "src/context_menu.h"
#include "src/engine.h"

using namespace ceftest;

namespace {

using FakeBrowser = testutil::StubBrowser;

bool Popup(CefRefPtr<ClientHandler> h, const char* url) {
    CefWindowInfo info;
    CefRefPtr<CefClient> client = h.get();
    CefBrowserSettings settings;
    bool noScript = false;
    return h->OnBeforePopup(nullptr, nullptr, url, "", WOD_NEW_FOREGROUND_TAB, true, CefPopupFeatures(), info, client,
                            settings, &noScript);
}

TEST(ClientHandler, KeepsTheNewestBrowserAndForgetsClosedOnesFromItsList) {
    CefRefPtr<ClientHandler> h = new ClientHandler();
    EXPECT_FALSE(h->GetBrowser());
    CefRefPtr<CefBrowser> first = new FakeBrowser(), second = new FakeBrowser();
    h->OnAfterCreated(first);
    h->OnAfterCreated(second);
    EXPECT_EQ(second.get(), h->GetBrowser().get());  // the newest is current
    ASSERT_EQ(2u, h->browserList.size());
    h->OnBeforeClose(first);
    ASSERT_EQ(1u, h->browserList.size());
    EXPECT_EQ(second.get(), h->browserList.front().get());
    h->OnBeforeClose(new FakeBrowser());  // not in the list: nothing changes
    EXPECT_EQ(1u, h->browserList.size());
    h->OnBeforeClose(second);
    EXPECT_TRUE(h->browserList.empty());
    EXPECT_EQ(second.get(), h->GetBrowser().get());  // still the current one after its close
    EXPECT_FALSE(h->DoClose(second));
}

TEST(ClientHandler, UnboundCallbacksTakeTheirFallbacks) {
    CefRefPtr<ClientHandler> h = new ClientHandler();
    EXPECT_TRUE(Popup(h, "http://a/"));  // suppressed
    EXPECT_FALSE(h->OnProcessMessageReceived(nullptr, PID_RENDERER, CefProcessMessage::Create("x")));
    h->OnTitleChange(nullptr, "t");
    h->OnLoadStart(nullptr, nullptr);
    h->OnLoadEnd(nullptr, nullptr, 200);
    // Bound, the callbacks decide and receive what they need.
    std::string url;
    h->beforePopupCallback = [&](const CefString& u, CefWindowInfo&, CefRefPtr<CefClient>&, CefBrowserSettings&) {
        url = u.ToString();
        return false;
    };
    EXPECT_FALSE(Popup(h, "http://b/page"));
    EXPECT_EQ("http://b/page", url);
    int status = 0;
    h->loadEndCallback = [&](CefRefPtr<CefBrowser>, CefRefPtr<CefFrame>, int s) { status = s; };
    h->OnLoadEnd(nullptr, nullptr, 404);
    EXPECT_EQ(404, status);
}

TEST(ClientHandler, EmptiesEveryContextMenuAndSwallowsCommands) {
    CefRefPtr<ClientHandler> h = new ClientHandler();
    CefRefPtr<CefMenuModel> model = cef_internal::CreateMenuModel();
    cef_internal::ContextMenuInfo info;
    info.editable = true;
    cef_internal::AddDefaultMenuItems(model, info, true, true, false);
    ASSERT_GT(model->GetCount(), 0);
    h->OnBeforeContextMenu(nullptr, nullptr, cef_internal::CreateContextMenuParams(info), model);
    EXPECT_EQ(0, model->GetCount());
    EXPECT_TRUE(h->OnContextMenuCommand(nullptr, nullptr, nullptr, MENU_ID_BACK, EVENTFLAG_NONE));
}

// Runs `body` as the program runs its own code: inside the application object's
// run on this thread, with a start address.
class TestApp : public gameApp {
public:
    explicit TestApp(std::function<void()> body) : body_(std::move(body)) {}
    bool OnInit() override {
        body_();
        return false;
    }

private:
    std::function<void()> body_;
};

SIZE WindowSize(HWND h) {
    RECT r = {0, 0, 0, 0};
    GetWindowRect(h, &r);
    return SIZE{r.right - r.left, r.bottom - r.top};
}

TEST(BrowserHost, HostsTheBrowserFitsItAndHandsEventsToTheFrame) {
    HttpServer server;
    ASSERT_TRUE(server.Start());
    Response page;
    page.body =
        "<html><head><title>Host page</title></head><body style='margin:0'>"
        "<span id='login_user'>Hero</span><iframe src='/xf.html?x=1'></iframe><script>"
        "document.addEventListener('contextmenu', function () { document.title = 'right clicked'; });"
        "</script></body></html>";
    page.headers = {{"ETag", "\"h1\""}};
    server.Set("/host.html", page);
    // The inner frame's load asks for the name; the renderer reads it from the main document.
    server.SetHtml("/xf.html", "<html><body>inner</body></html>");
    server.SetHtml("/popup.html", "popup");
    testutil::TempDir cache;
    ASSERT_TRUE(InitializeEngine(cache.path()));

    TestApp app([&] {
        wcscpy(gameApp::Current()->startUrl, CefString(server.Url("/host.html")).ToWString().c_str());
        // What the frame's callbacks saw. Declared before the windows, so that it outlives
        // them: the browser (and its notifications) end with the frame window.
        std::mutex lock;  // the callbacks run on the engine's thread
        std::vector<std::string> events;
        auto record = [&](const std::string& e) {
            std::lock_guard<std::mutex> g(lock);
            events.push_back(e);
            SetEvent(ActivityEvent());
        };
        auto has = [&](const std::string& e) {
            std::lock_guard<std::mutex> g(lock);
            return std::find(events.begin(), events.end(), e) != events.end();
        };
        HostWindow frame(1000, 600);
        CMyHtmlEx host;
        RECT rc = {0, 0, 1000, 600};
        ASSERT_TRUE(host.Create(0, nullptr, L"", WS_CHILD | WS_VISIBLE, rc, frame.hwnd()));
        EXPECT_TRUE(GetWindowLongW(host.hwnd, GWL_STYLE) & WS_CLIPCHILDREN);
        CefRefPtr<ClientHandler> handler = host.GetClientHandler();
        ASSERT_TRUE(handler);
        // Before the browser exists: 3 rows taller at creation, and resizing changes nothing.
        EXPECT_EQ(1000, WindowSize(host.browserParent.hwnd).cx);
        EXPECT_EQ(603, WindowSize(host.browserParent.hwnd).cy);
        host.ReloadIgnoreCache();  // nothing to reload yet; must not fail
        MoveWindow(host.hwnd, 0, 0, 990, 590, TRUE);
        host.OnSize(0, 0, 0);
        EXPECT_EQ(603, WindowSize(host.browserParent.hwnd).cy);
        MoveWindow(host.hwnd, 0, 0, 1000, 600, TRUE);

        // Bound the way the frame binds them: right after the host was created.
        handler->titleChangeCallback = [&](const CefString& t) { record("title " + t.ToString()); };
        handler->loadStartCallback = [&](CefRefPtr<CefBrowser>, CefRefPtr<CefFrame> f) {
            record("start " + f->GetURL().ToString());
        };
        handler->loadEndCallback = [&](CefRefPtr<CefBrowser> b, CefRefPtr<CefFrame> f, int status) {
            std::string url = f->GetURL().ToString();
            record("end " + std::to_string(status) + " " + url);
            if (url.find("xf.html") != std::string::npos) {
                CefRefPtr<CefProcessMessage> m = CefProcessMessage::Create("velmar_msg");
                m->GetArgumentList()->SetSize(1);
                m->GetArgumentList()->SetString(0, "getuser");
                b->SendProcessMessage(PID_RENDERER, m);
            }
        };
        handler->beforePopupCallback = [&](const CefString& u, CefWindowInfo&, CefRefPtr<CefClient>&,
                                           CefBrowserSettings&) {
            record("popup " + u.ToString());
            return true;
        };
        handler->processMessageCallback = [&](CefRefPtr<CefBrowser>, CefProcessId source,
                                              CefRefPtr<CefProcessMessage> m) {
            CefRefPtr<CefListValue> args = m->GetArgumentList();
            if (source == PID_RENDERER && args->GetSize() == 2)
                record("user " + args->GetString(0).ToString() + " " + args->GetString(1).ToString());
            return true;
        };

        auto dump = [&] {
            std::lock_guard<std::mutex> g(lock);
            return testing::PrintToString(events);
        };
        ASSERT_TRUE(WaitUntil([&] { return has("end 200 " + server.Url("/host.html")); }, 20000)) << dump();
        EXPECT_TRUE(has("start " + server.Url("/host.html")));
        EXPECT_TRUE(has("start " + server.Url("/xf.html?x=1")));  // inner frames too
        EXPECT_TRUE(has("end 200 " + server.Url("/xf.html?x=1")));
        EXPECT_TRUE(WaitUntil([&] { return has("title Host page"); }, 5000));
        EXPECT_TRUE(WaitUntil([&] { return has("user getuser Hero"); }, 15000));

        CefRefPtr<CefBrowser> browser = handler->GetBrowser();
        ASSERT_TRUE(browser);
        HWND view = browser->GetHost()->GetWindowHandle();
        EXPECT_EQ(host.browserParent.hwnd, GetParent(view));
        EXPECT_EQ(603, WindowSize(view).cy);
        // Fitting: 3 rows more while exactFit is 0, exactly the client area after.
        MoveWindow(host.hwnd, 0, 0, 900, 500, TRUE);  // WM_SIZE refits
        EXPECT_EQ(900, WindowSize(view).cx);
        EXPECT_EQ(503, WindowSize(view).cy);
        EXPECT_EQ(503, WindowSize(host.browserParent.hwnd).cy);
        host.exactFit = 1;
        host.OnSize(0, 0, 0);
        EXPECT_EQ(500, WindowSize(view).cy);
        EXPECT_EQ(500, WindowSize(host.browserParent.hwnd).cy);
        // A refit asked for on another thread (the engine's handlers do) neither waits
        // for this thread nor uses what it saw there: it runs here, later, with the
        // sizes and settings of that moment.
        host.exactFit = 0;
        std::atomic<bool> asked{false};
        std::thread asker([&] {
            host.OnSize(0, 0, 0);
            asked = true;
        });
        DWORD t0 = GetTickCount();
        while (!asked && GetTickCount() - t0 < 2000) Sleep(10);  // not serving this thread's messages
        EXPECT_TRUE(asked) << "the asking thread waited for this one";
        host.exactFit = 1;
        PumpFor(200);
        asker.join();
        EXPECT_EQ(500, WindowSize(view).cy);
        nlohmann::json h;
        EXPECT_TRUE(WaitUntil([&] {
            return cef_internal::EvaluateInBrowser(browser, "innerHeight", &h) && h == 500;
        }, 5000));

        // Focus given to the host goes on to the browser's window, so the player can
        // type without clicking into the page first.
        SetFocus(frame.hwnd());
        EXPECT_NE(view, GetFocus());
        SetFocus(host.hwnd);
        EXPECT_EQ(view, GetFocus());

        // A right click reaches the page, and no menu shows.
        PostMessageW(view, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(300, 300));
        PostMessageW(view, WM_RBUTTONUP, 0, MAKELPARAM(300, 300));
        EXPECT_TRUE(WaitUntil([&] { return has("title right clicked"); }, 5000));
        PumpFor(700);
        EXPECT_TRUE(ProcessWindows(L"#32768").empty());

        // Popups go to the frame's callback; cancelled, they never load.
        cef_internal::EvaluateInBrowser(browser, "window.open('/popup.html'); 1", nullptr);
        EXPECT_TRUE(WaitUntil([&] { return has("popup " + server.Url("/popup.html")); }, 5000));
        PumpFor(1000);
        EXPECT_TRUE(server.RequestsFor("/popup.html").empty());

        // The frame's refresh: fetched again, without the cache's validators.
        size_t before = server.RequestsFor("/host.html").size();
        host.ReloadIgnoreCache();
        ASSERT_TRUE(WaitUntil([&] { return server.RequestsFor("/host.html").size() > before; }, 5000));
        EXPECT_FALSE(server.RequestsFor("/host.html").back().Has("if-none-match"));
    });
    app.Run();
    PumpFor(300);  // the windows the host let go of close now
    CefShutdown();
}

}  // namespace
