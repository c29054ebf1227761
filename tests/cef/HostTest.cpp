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
#include "src/browser/context_menu.h"
#include "src/browser/engine.h"

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

// What the frame's callbacks saw; they run on the engine's thread.
class EventLog {
public:
    void Add(const std::string& e) {
        std::lock_guard<std::mutex> g(lock_);
        events_.push_back(e);
        SetEvent(ActivityEvent());
    }
    bool Has(const std::string& e) {
        std::lock_guard<std::mutex> g(lock_);
        return std::find(events_.begin(), events_.end(), e) != events_.end();
    }
    std::string Dump() {
        std::lock_guard<std::mutex> g(lock_);
        return testing::PrintToString(events_);
    }

private:
    std::mutex lock_;
    std::vector<std::string> events_;
};

// A frame window with the program's host window in it, showing /host.html, its
// handlers bound the way the frame binds them. Declared before the windows, the
// log outlives them: the browser (and its notifications) end with the frame.
struct Hosted {
    EventLog log;
    HostWindow frame{1000, 600};
    CMyHtmlEx host;
    CefRefPtr<ClientHandler> handler;
    CefRefPtr<CefBrowser> browser;  // once the page has loaded
    HWND view = nullptr;
};

// One engine and one server for the group; each test hosts a browser of its own.
class BrowserHost : public testing::Test {
public:
    static void SetUpTestSuite() {
        server_.reset(new HttpServer());
        ASSERT_TRUE(server_->Start());
        Response page;
        page.body =
            "<html><head><title>Host page</title></head><body style='margin:0'>"
            "<span id='login_user'>Hero</span><iframe src='/xf.html?x=1'></iframe><script>"
            "document.addEventListener('contextmenu', function () { document.title = 'right clicked'; });"
            "</script></body></html>";
        page.headers = {{"ETag", "\"h1\""}};
        server_->Set("/host.html", page);
        // The inner frame's load asks for the name; the renderer reads it from the main document.
        server_->SetHtml("/xf.html", "<html><body>inner</body></html>");
        server_->SetHtml("/popup.html", "popup");
        cache_.reset(new testutil::TempDir());
        engineUp_ = InitializeEngine(cache_->path());
    }
    static void TearDownTestSuite() {
        if (engineUp_) CefShutdown();
        engineUp_ = false;
        server_.reset();
        cache_.reset();
    }

protected:
    void SetUp() override { ASSERT_TRUE(engineUp_) << "the engine did not start"; }

    // Runs `body` with the host created and bound; with `loaded`, once the page
    // has loaded into a browser.
    void WithHost(bool loaded, const std::function<void(Hosted&)>& body) {
        HWND view = nullptr;
        TestApp app([&] {
            wcscpy(gameApp::Current()->startUrl, CefString(server_->Url("/host.html")).ToWString().c_str());
            Hosted h;
            RECT rc = {0, 0, 1000, 600};
            ASSERT_TRUE(h.host.Create(0, nullptr, L"", WS_CHILD | WS_VISIBLE, rc, h.frame.hwnd()));
            h.handler = h.host.GetClientHandler();
            ASSERT_TRUE(h.handler);
            Bind(h);
            if (loaded) {
                ASSERT_TRUE(WaitUntil([&] { return h.log.Has("end 200 " + server_->Url("/host.html")); }, 20000))
                    << h.log.Dump();
                h.browser = h.handler->GetBrowser();
                ASSERT_TRUE(h.browser);
                view = h.view = h.browser->GetHost()->GetWindowHandle();
            }
            body(h);
        });
        app.Run();
        // The browser's window goes with the frame it lay in.
        EXPECT_TRUE(WaitUntil([&] { return !view || !IsWindow(view); }, 5000));
    }

    static void Bind(Hosted& h) {
        EventLog& log = h.log;
        h.handler->titleChangeCallback = [&log](const CefString& t) { log.Add("title " + t.ToString()); };
        h.handler->loadStartCallback = [&log](CefRefPtr<CefBrowser>, CefRefPtr<CefFrame> f) {
            log.Add("start " + f->GetURL().ToString());
        };
        h.handler->loadEndCallback = [&log](CefRefPtr<CefBrowser> b, CefRefPtr<CefFrame> f, int status) {
            std::string url = f->GetURL().ToString();
            log.Add("end " + std::to_string(status) + " " + url);
            if (url.find("xf.html") != std::string::npos) {
                CefRefPtr<CefProcessMessage> m = CefProcessMessage::Create("velmar_msg");
                m->GetArgumentList()->SetSize(1);
                m->GetArgumentList()->SetString(0, "getuser");
                b->SendProcessMessage(PID_RENDERER, m);
            }
        };
        h.handler->beforePopupCallback = [&log](const CefString& u, CefWindowInfo&, CefRefPtr<CefClient>&,
                                                CefBrowserSettings&) {
            log.Add("popup " + u.ToString());
            return true;
        };
        h.handler->processMessageCallback = [&log](CefRefPtr<CefBrowser>, CefProcessId source,
                                                   CefRefPtr<CefProcessMessage> m) {
            CefRefPtr<CefListValue> args = m->GetArgumentList();
            if (source == PID_RENDERER && args->GetSize() == 2)
                log.Add("user " + args->GetString(0).ToString() + " " + args->GetString(1).ToString());
            return true;
        };
    }

    static std::unique_ptr<HttpServer> server_;
    static std::unique_ptr<testutil::TempDir> cache_;
    static bool engineUp_;
};

std::unique_ptr<HttpServer> BrowserHost::server_;
std::unique_ptr<testutil::TempDir> BrowserHost::cache_;
bool BrowserHost::engineUp_ = false;

TEST_F(BrowserHost, BeforeTheBrowserArrivesItsParentKeepsTheCreatedSize) {
    WithHost(false, [&](Hosted& h) {
        EXPECT_TRUE(GetWindowLongW(h.host.hwnd, GWL_STYLE) & WS_CLIPCHILDREN);
        // 3 rows taller at creation, and resizing changes nothing yet.
        EXPECT_EQ(1000, WindowSize(h.host.browserParent.hwnd).cx);
        EXPECT_EQ(603, WindowSize(h.host.browserParent.hwnd).cy);
        h.host.ReloadIgnoreCache();  // nothing to reload yet; must not fail
        MoveWindow(h.host.hwnd, 0, 0, 990, 590, TRUE);
        h.host.OnSize(0, 0, 0);
        EXPECT_EQ(603, WindowSize(h.host.browserParent.hwnd).cy);
    });
}

TEST_F(BrowserHost, HandsThePagesEventsToTheFrame) {
    WithHost(true, [&](Hosted& h) {
        EXPECT_TRUE(h.log.Has("start " + server_->Url("/host.html")));
        EXPECT_TRUE(h.log.Has("start " + server_->Url("/xf.html?x=1")));  // inner frames too
        EXPECT_TRUE(WaitUntil([&] { return h.log.Has("end 200 " + server_->Url("/xf.html?x=1")); }, 5000));
        EXPECT_TRUE(WaitUntil([&] { return h.log.Has("title Host page"); }, 5000));
        EXPECT_TRUE(WaitUntil([&] { return h.log.Has("user getuser Hero"); }, 15000)) << h.log.Dump();

        // A right click reaches the page, and no menu shows.
        PostMessageW(h.view, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(300, 300));
        PostMessageW(h.view, WM_RBUTTONUP, 0, MAKELPARAM(300, 300));
        EXPECT_TRUE(WaitUntil([&] { return h.log.Has("title right clicked"); }, 5000));
        PumpFor(700);
        EXPECT_TRUE(ProcessWindows(L"#32768").empty());

        // Popups go to the frame's callback; cancelled, they never load.
        cef_internal::EvaluateInBrowser(h.browser, "window.open('/popup.html'); 1", nullptr);
        EXPECT_TRUE(WaitUntil([&] { return h.log.Has("popup " + server_->Url("/popup.html")); }, 5000));
        PumpFor(1000);
        EXPECT_TRUE(server_->RequestsFor("/popup.html").empty());
    });
}

TEST_F(BrowserHost, FitsTheBrowserToItsClientArea) {
    WithHost(true, [&](Hosted& h) {
        EXPECT_EQ(h.host.browserParent.hwnd, GetParent(h.view));
        EXPECT_EQ(603, WindowSize(h.view).cy);
        // 3 rows more while exactFit is 0, exactly the client area after.
        MoveWindow(h.host.hwnd, 0, 0, 900, 500, TRUE);  // WM_SIZE refits
        EXPECT_EQ(900, WindowSize(h.view).cx);
        EXPECT_EQ(503, WindowSize(h.view).cy);
        EXPECT_EQ(503, WindowSize(h.host.browserParent.hwnd).cy);
        h.host.exactFit = 1;
        h.host.OnSize(0, 0, 0);
        EXPECT_EQ(500, WindowSize(h.view).cy);
        EXPECT_EQ(500, WindowSize(h.host.browserParent.hwnd).cy);
        // A refit asked for on another thread (the engine's handlers do) neither waits
        // for this thread nor uses what it saw there: it runs here, later, with the
        // sizes and settings of that moment.
        h.host.exactFit = 0;
        HANDLE asked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::thread asker([&] {
            h.host.OnSize(0, 0, 0);
            SetEvent(asked);
        });
        // Not serving this thread's messages meanwhile.
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(asked, 2000)) << "the asking thread waited for this one";
        asker.join();
        CloseHandle(asked);
        h.host.exactFit = 1;
        // The refit the asker posted is in this thread's queue now: serve it.
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        EXPECT_EQ(500, WindowSize(h.view).cy);
        nlohmann::json height;
        EXPECT_TRUE(WaitUntil([&] {
            return cef_internal::EvaluateInBrowser(h.browser, "innerHeight", &height) && height == 500;
        }, 5000));
    });
}

TEST_F(BrowserHost, PassesTheFocusOnAndReloadsWithoutTheCachesValidators) {
    WithHost(true, [&](Hosted& h) {
        // Focus given to the host goes on to the browser's window, so the player can
        // type without clicking into the page first.
        SetFocus(h.frame.hwnd());
        EXPECT_NE(h.view, GetFocus());
        SetFocus(h.host.hwnd);
        EXPECT_EQ(h.view, GetFocus());

        // The frame's refresh: fetched again, without the cache's validators.
        size_t before = server_->RequestsFor("/host.html").size();
        h.host.ReloadIgnoreCache();
        ASSERT_TRUE(WaitUntil([&] { return server_->RequestsFor("/host.html").size() > before; }, 5000));
        EXPECT_FALSE(server_->RequestsFor("/host.html").back().Has("if-none-match"));
    });
}

}  // namespace
