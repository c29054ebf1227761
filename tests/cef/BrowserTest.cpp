// The browser layer against the real engine and pages served by the test.
#include <gtest/gtest.h>
#include <atomic>
#include <memory>
#include "CefTestSupport.h"
#include "common/Loopback.h"
#include "common/TestUtil.h"
#include <imm.h>
#include "src/api/cef_context.h"
#include "src/browser/browser_impl.h"
#include "src/browser/engine.h"
#include "src/flash/ime_guard.h"
#include "src/browser/script_dialog.h"

using namespace ceftest;
using cef_internal::EvaluateInBrowser;
using nlohmann::json;

namespace {

std::unique_ptr<HttpServer> g_server;
// HTTPS sites with self-signed certificates: one whose key the engine is told to
// accept (as the program's build setting would name it), and one it is not.
std::unique_ptr<TlsServer> g_pinned, g_untrusted;
std::unique_ptr<testutil::TempDir> g_cache;
bool g_engineUp = false;

std::string Eval(CefRefPtr<CefBrowser> browser, const std::string& expression) {
    json value;
    if (!EvaluateInBrowser(browser, expression, &value)) return "<failed>";
    return value.is_string() ? value.get<std::string>() : value.dump();
}

class BrowserTest : public testing::Test {
public:
    static void SetUpTestSuite() {
        g_server.reset(new HttpServer());
        ASSERT_TRUE(g_server->Start());
        g_pinned.reset(new TlsServer());
        g_untrusted.reset(new TlsServer());
        if (!g_pinned->Start("pinned") || !g_untrusted->Start("untrusted")) g_pinned.reset();
        SetPinnedKeys(g_pinned ? g_pinned->Spki() : std::string());
        g_cache.reset(new testutil::TempDir());
        ASSERT_TRUE(InitializeEngine(g_cache->path()));
        SetPinnedKeys(std::string());
        g_engineUp = true;
    }
    static void TearDownTestSuite() {
        CefShutdown();
        g_engineUp = false;
        g_server.reset();
        g_pinned.reset();
        g_untrusted.reset();
        g_cache.reset();
    }

protected:
    void SetUp() override {
        g_server->ClearRequests();
        host_.reset(new HostWindow(1230, 620));
        client_ = new RecordingClient();
    }
    void TearDown() override {
        host_.reset();  // the browser window goes with its parent
        if (client_->Browser()) EXPECT_TRUE(client_->WaitFor("closed", 5000));
        client_ = nullptr;
    }

    // A browser on `path`, after the main frame's first load end.
    CefRefPtr<CefBrowser> Open(const std::string& path) {
        EXPECT_TRUE(CreateChildBrowser(host_->hwnd(), client_.get(), g_server->Url(path)));
        EXPECT_TRUE(WaitUntil([&] { return !client_->With("end main").empty(); }, 20000))
            << testing::PrintToString(client_->Lines());
        // On the embedded route the page takes input once its window is in place and
        // draws (as a player can only click it then): two of its frames have passed.
        if (EmbeddedRoute()) {
            CefRefPtr<CefBrowser> b = client_->Browser();
            EXPECT_TRUE(b && WaitUntil([&] {
                cef_internal::BrowserStats stats;
                return cef_internal::GetBrowserStats(b, &stats) && stats.viewShown;
            }, 5000));
            nlohmann::json drawn;
            EXPECT_TRUE(b && cef_internal::EvaluateInBrowser(
                                 b, "new Promise(r => requestAnimationFrame(() => requestAnimationFrame(() => r(1))))",
                                 &drawn, 5000));
        }
        return client_->Browser();
    }

    HWND BrowserWindow() {
        CefRefPtr<CefBrowser> b = client_->Browser();
        return b ? b->GetHost()->GetWindowHandle() : nullptr;
    }

    std::unique_ptr<HostWindow> host_;
    CefRefPtr<RecordingClient> client_;
};

TEST_F(BrowserTest, LoadEventsCoverMainAndInnerFrames) {
    g_server->SetHtml("/outer.html",
                      "<html><head><title>Outer</title></head><body>outer"
                      "<iframe src='/inner.html' name='child'></iframe></body></html>");
    g_server->SetHtml("/inner.html", "<html><body>inner</body></html>");
    CefRefPtr<CefBrowser> browser = Open("/outer.html");
    ASSERT_TRUE(browser);
    std::string outer = g_server->Url("/outer.html"), inner = g_server->Url("/inner.html");
    std::vector<std::string> lines = client_->Lines();
    auto at = [&](const std::string& l) { return std::find(lines.begin(), lines.end(), l) - lines.begin(); };
    ASSERT_TRUE(client_->Has("created"));
    ASSERT_TRUE(client_->Has("start main " + outer)) << testing::PrintToString(lines);
    ASSERT_TRUE(client_->Has("start sub " + inner)) << testing::PrintToString(lines);
    ASSERT_TRUE(client_->Has("end sub 200 " + inner)) << testing::PrintToString(lines);
    ASSERT_TRUE(client_->Has("end main 200 " + outer)) << testing::PrintToString(lines);
    // Created first; each frame starts before it ends; the inner frame ends before the page.
    EXPECT_LT(at("created"), at("start main " + outer));
    EXPECT_LT(at("start main " + outer), at("start sub " + inner));
    EXPECT_LT(at("start sub " + inner), at("end sub 200 " + inner));
    EXPECT_LT(at("end sub 200 " + inner), at("end main 200 " + outer));
    EXPECT_EQ(1u, client_->With("end main").size());
    // The frames as the browser knows them.
    EXPECT_EQ(outer, browser->GetMainFrame()->GetURL().ToString());
    CefRefPtr<CefFrame> child = browser->GetFrame(CefString("child"));
    ASSERT_TRUE(child);
    EXPECT_FALSE(child->IsMain());
    EXPECT_EQ(inner, child->GetURL().ToString());
    EXPECT_EQ(2u, browser->GetFrameCount());
    EXPECT_NE(browser->GetMainFrame()->GetIdentifier(), child->GetIdentifier());
    // The engine presents itself as an ordinary browser speaking the program's language.
    Request first = g_server->RequestsFor("/outer.html").at(0);
    EXPECT_EQ(0u, first.headers["accept-language"].find("zh-CN")) << first.headers["accept-language"];
    EXPECT_EQ(std::string::npos, first.headers["user-agent"].find("Headless")) << first.headers["user-agent"];
    // Every notification came on one thread, not this one.
    EXPECT_NE(0u, client_->uiThread);
    EXPECT_NE(GetCurrentThreadId(), client_->uiThread);
}

TEST_F(BrowserTest, MissingAndUnreachablePagesReportThemselvesInTheProgramsLanguage) {
    CefRefPtr<CefBrowser> browser = Open("/no-such-page.html");
    ASSERT_TRUE(browser);
    EXPECT_TRUE(client_->Has("end main 404 " + g_server->Url("/no-such-page.html")))
        << testing::PrintToString(client_->Lines());
    // Nobody listens: the engine's own error page, in the language the program asked for.
    int port = testutil::UnusedLoopbackPort();
    ASSERT_NE(0, port);
    browser->GetMainFrame()->LoadURL("http://127.0.0.1:" + std::to_string(port) + "/");
    std::string seen;
    EXPECT_TRUE(WaitUntil([&] {
        seen = Eval(browser, "location.protocol + document.documentElement.lang");
        return seen == "chrome-error:zh";
    }, 10000)) << seen;
}

TEST_F(BrowserTest, AnUntrustedCertificateGetsTheEnginesErrorPageAndAPinnedKeyStandsInForAnAuthority) {
    ASSERT_TRUE(g_pinned) << "no HTTPS test sites (python3 and openssl outside Wine)";
    g_server->SetHtml("/plain.html", "<html><body>plain</body></html>");
    CefRefPtr<CefBrowser> browser = Open("/plain.html");
    ASSERT_TRUE(browser);
    auto tlsCookie = [] {
        json result;
        std::shared_ptr<cef_internal::DevToolsConnection> engine = cef_internal::EngineConnection();
        if (!engine || !engine->Call("Storage.getCookies", json::object(), &result)) return std::string("<failed>");
        for (const json& c : result.value("cookies", json::array()))
            if (c.value("name", "") == "tls") return c.value("value", "");
        return std::string();
    };
    // A network attacker's certificate: the engine's own page, in the program's
    // language, names the error; the site never gets to set its cookie.
    browser->GetMainFrame()->LoadURL(g_untrusted->Url("/"));
    std::string seen;
    EXPECT_TRUE(WaitUntil([&] {
        seen = Eval(browser, "document.documentElement.lang + ':' + /ERR_CERT_AUTHORITY_INVALID/.test(document.body.innerText)");
        return seen == "zh:true";
    }, 15000)) << seen << " " << Eval(browser, "document.body.innerText");
    EXPECT_EQ("", tlsCookie());
    // The game's own private certificate, named by its key: the page loads.
    browser->GetMainFrame()->LoadURL(g_pinned->Url("/"));
    EXPECT_TRUE(WaitUntil([&] { return (seen = Eval(browser, "document.title")) == "pinned"; }, 15000)) << seen;
    EXPECT_EQ("1", tlsCookie());
}

TEST_F(BrowserTest, TitleFollowsTheDocumentIncludingScriptChangesAfterLoad) {
    g_server->SetHtml("/title.html",
                      "<html><head><title>First title</title></head><body><script>"
                      "window.addEventListener('load', function () { setTimeout(function () {"
                      "document.title = '\u7b2c\u4e8c Second'; }, 300); });</script></body></html>");
    ASSERT_TRUE(Open("/title.html"));
    EXPECT_TRUE(client_->WaitFor("title First title", 5000)) << testing::PrintToString(client_->Lines());
    EXPECT_TRUE(client_->WaitFor("title \xe7\xac\xac\xe4\xba\x8c Second", 5000))
        << testing::PrintToString(client_->Lines());
    // Each title once, in order.
    std::vector<std::string> titles = client_->With("title ");
    ASSERT_EQ(2u, titles.size()) << testing::PrintToString(titles);
    // Only the client's own script reports titles: the page's scripts do not see
    // the channel, in the page or in its inner frames, so they cannot report one
    // (whatever else of ours the page's world holds, such as the sound switch).
    EXPECT_EQ("undefined", Eval(client_->Browser(), "typeof window.__vornHost"));
    Eval(client_->Browser(), "var f = document.createElement('iframe'); document.body.appendChild(f);"
                             "var forged = 0; [window, f.contentWindow].forEach(function (w) {"
                             "  Object.getOwnPropertyNames(w).forEach(function (n) {"
                             "    if (/vorn/i.test(n) && typeof w[n] === 'function') {"
                             "      try { w[n](JSON.stringify({t: 'title', v: 'forged'})); forged++; } catch (e) {} } }); });"
                             "document.title = 'real'; 1");
    // Titles arrive in order: once the real one is in, a forged one would be too.
    EXPECT_TRUE(client_->WaitFor("title real", 5000)) << testing::PrintToString(client_->Lines());
    EXPECT_FALSE(client_->Has("title forged"));
    // A title blinking 50 times a second for 0.4 s reaches the client a few times a
    // second, and always ends on the page's last title.
    Eval(client_->Browser(), "var n = 0; var blink = setInterval(function () {"
                             "  document.title = 'blink ' + n; if (++n === 20) clearInterval(blink); }, 20); 1");
    EXPECT_TRUE(client_->WaitFor("title blink 19", 5000)) << testing::PrintToString(client_->Lines());
    std::vector<std::string> blinks = client_->With("title blink");
    EXPECT_LE(blinks.size(), 4u) << testing::PrintToString(blinks);
    EXPECT_EQ("title blink 19", blinks.back());
}

TEST_F(BrowserTest, AnOversizedTitleIsIgnoredAndLaterTitlesStillArrive) {
    // The page sets its title to anything, of any size.
    g_server->SetHtml("/huge-title.html",
                      "<html><head><title>Small</title></head><body><script>"
                      "window.addEventListener('load', function () { setTimeout(function () {"
                      "document.title = 'x'.repeat(2 * 1024 * 1024);"
                      "setTimeout(function () { document.title = 'After'; }, 300); }, 300); });"
                      "</script></body></html>");
    ASSERT_TRUE(Open("/huge-title.html"));
    EXPECT_TRUE(client_->WaitFor("title After", 10000));
    std::vector<std::string> titles;
    for (const std::string& t : client_->With("title "))
        titles.push_back(t.size() > 40 ? t.substr(0, 20) + "... (" + std::to_string(t.size()) + " bytes)" : t);
    EXPECT_EQ(titles, (std::vector<std::string>{"title Small", "title After"}));
}

TEST_F(BrowserTest, ABrowserWhoseWindowCannotBeMadeKeepsNothingAlive) {
    ASSERT_TRUE(cef_internal::GetEngineInfo().running);
    // Its parent is gone before it is made, so its window cannot be.
    HWND gone = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(gone);
    DestroyWindow(gone);
    CefWindowInfo info;
    info.SetAsChild(gone, RECT{0, 0, 200, 100});
    int refs = client_->GetRefCt();
    CefRefPtr<CefBrowser> browser;
    cef_internal::RunUiTaskAndWait([&] {
        browser = CefBrowserHost::CreateBrowserSync(info, client_.get(), g_server->Url("/never.html"),
                                                    CefBrowserSettings(), nullptr);
    });
    EXPECT_FALSE(browser);
    // No half-made browser lingers, holding the client.
    EXPECT_EQ(refs, client_->GetRefCt());
}

TEST_F(BrowserTest, PopupsAskTheClientAndACancelledOneNeverLoads) {
    g_server->SetHtml("/opener.html",
                      "<html><body style='margin:0'><a id='link' href='/popup-link.html' target='_blank' "
                      "style='display:block;height:200px'>new window</a></body></html>");
    g_server->SetHtml("/popup-script.html", "<html><body>script popup</body></html>");
    g_server->SetHtml("/popup-link.html", "<html><body>link popup</body></html>");
    CefRefPtr<CefBrowser> browser = Open("/opener.html");
    ASSERT_TRUE(browser);
    client_->cancelPopups = true;
    // window.open() returns at once: the opener is not held up while the client decides.
    DWORD t0 = GetTickCount();
    EXPECT_EQ("1", Eval(browser, "window.open('/popup-script.html'); 1"));
    EXPECT_LT(GetTickCount() - t0, 2000u);
    EXPECT_TRUE(client_->WaitFor("popup " + g_server->Url("/popup-script.html"), 5000))
        << testing::PrintToString(client_->Lines());
    Eval(browser, "document.getElementById('link').click(); 1");
    EXPECT_TRUE(client_->WaitFor("popup " + g_server->Url("/popup-link.html"), 5000))
        << testing::PrintToString(client_->Lines());
    // Only the player's own action counts as one: the engine says which were.
    EXPECT_TRUE(client_->Has("no gesture " + g_server->Url("/popup-script.html")));
    EXPECT_TRUE(client_->Has("no gesture " + g_server->Url("/popup-link.html")));
    client_->Clear();
    HWND w = BrowserWindow();
    PostMessageW(w, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(40, 40));
    PostMessageW(w, WM_LBUTTONUP, 0, MAKELPARAM(40, 40));
    EXPECT_TRUE(client_->WaitFor("gesture " + g_server->Url("/popup-link.html"), 5000))
        << testing::PrintToString(client_->Lines());
    // Give a request every chance to happen: none may.
    PumpFor(1500);
    EXPECT_TRUE(g_server->RequestsFor("/popup-script.html").empty());
    EXPECT_TRUE(g_server->RequestsFor("/popup-link.html").empty());
    EXPECT_EQ(0, CountEnginePages("popup-"));
    EXPECT_EQ(0u, client_->With("created popup").size());
    EXPECT_TRUE(ProcessWindows(L"CefBrowserWindow").empty());
    // The opener goes on working.
    EXPECT_EQ("2", Eval(browser, "1+1"));
}

TEST_F(BrowserTest, AnAllowedPopupBecomesABrowserWindowOfItsOwn) {
    g_server->SetHtml("/opener2.html", "<html><body>opener</body></html>");
    g_server->SetHtml("/allowed.html", "<html><head><title>Allowed</title></head><body>allowed</body></html>");
    CefRefPtr<CefBrowser> browser = Open("/opener2.html");
    ASSERT_TRUE(browser);
    client_->cancelPopups = false;
    Eval(browser, "window.open('/allowed.html', 'w', 'width=400,height=300'); 1");
    ASSERT_TRUE(client_->WaitFor("created popup", 5000)) << testing::PrintToString(client_->Lines());
    ASSERT_TRUE(client_->WaitFor("end main 200 " + g_server->Url("/allowed.html"), 10000))
        << testing::PrintToString(client_->Lines());
    std::vector<CefRefPtr<CefBrowser>> browsers = client_->Browsers();
    ASSERT_EQ(2u, browsers.size());
    CefRefPtr<CefBrowser> popup = browsers[1];
    EXPECT_TRUE(popup->IsPopup());
    HWND popupWindow = popup->GetHost()->GetWindowHandle();
    ASSERT_TRUE(IsWindow(popupWindow));
    EXPECT_FALSE(GetWindowLongW(popupWindow, GWL_STYLE) & WS_CHILD);
    RECT rc;
    GetClientRect(popupWindow, &rc);
    EXPECT_EQ(400, rc.right);
    EXPECT_EQ(300, rc.bottom);
    EXPECT_EQ("400", Eval(popup, "innerWidth"));
    // The page closing itself closes its browser.
    Eval(popup, "window.close(); 1");
    EXPECT_TRUE(client_->WaitFor("closed", 5000)) << testing::PrintToString(client_->Lines());
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(popupWindow); }, 2000));
    client_->Clear();
}

TEST_F(BrowserTest, RightClickShowsTheDefaultMenuUnlessTheHandlerEmptiesIt) {
    g_server->SetHtml("/menu.html", "<html><body style='height:600px'>right click me</body></html>");
    CefRefPtr<CefBrowser> browser = Open("/menu.html");
    ASSERT_TRUE(browser);
    HWND w = BrowserWindow();
    // With the default items left in, a native menu appears.
    client_->clearMenu = false;
    PostMessageW(w, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(200, 200));
    PostMessageW(w, WM_RBUTTONUP, 0, MAKELPARAM(200, 200));
    ASSERT_TRUE(client_->WaitFor("menu 1", 5000)) << testing::PrintToString(client_->Lines());
    EXPECT_GE(client_->menuItems, 3);
    EXPECT_TRUE(WaitUntil([] { return !ProcessWindows(L"#32768").empty(); }, 3000));
    PostMessageW(w, WM_CANCELMODE, 0, 0);
    EXPECT_TRUE(client_->WaitFor("dismissed", 3000));
    EXPECT_TRUE(WaitUntil([] { return ProcessWindows(L"#32768").empty(); }, 3000));
    // Emptied by the handler: no menu at all.
    client_->Clear();
    client_->clearMenu = true;
    PostMessageW(w, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(100, 100));
    PostMessageW(w, WM_RBUTTONUP, 0, MAKELPARAM(100, 100));
    ASSERT_TRUE(client_->WaitFor("menu 1", 5000));
    PumpFor(500);
    EXPECT_TRUE(ProcessWindows(L"#32768").empty());
    EXPECT_FALSE(client_->Has("dismissed")) << testing::PrintToString(client_->Lines());
    // A page that stops the event on its way up, without cancelling it, still gets the menu.
    client_->Clear();
    Eval(browser, "document.body.addEventListener('contextmenu', function (e) { e.stopPropagation(); },"
                  " {once: true}); 1");
    PostMessageW(w, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(110, 110));
    PostMessageW(w, WM_RBUTTONUP, 0, MAKELPARAM(110, 110));
    EXPECT_TRUE(client_->WaitFor("menu 1", 5000)) << testing::PrintToString(client_->Lines());
    // A page that cancels the event gets no menu and the handler is not asked.
    client_->Clear();
    Eval(browser, "document.addEventListener('contextmenu', function (e) { e.preventDefault(); }); 1");
    PostMessageW(w, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(120, 120));
    PostMessageW(w, WM_RBUTTONUP, 0, MAKELPARAM(120, 120));
    PumpFor(800);
    EXPECT_TRUE(client_->With("menu").empty());
}

TEST_F(BrowserTest, ReloadIgnoringTheCacheRefetchesWithoutValidators) {
    Response page;
    page.body = "<html><body>cached page</body></html>";
    page.headers = {{"ETag", "\"v1\""}, {"Cache-Control", "max-age=0, must-revalidate"}};
    g_server->Set("/cached.html", page);
    CefRefPtr<CefBrowser> browser = Open("/cached.html");
    ASSERT_TRUE(browser);
    // A plain reload revalidates the copy the engine holds.
    client_->Clear();
    browser->Reload();
    ASSERT_TRUE(WaitUntil([&] { return g_server->RequestsFor("/cached.html").size() >= 2; }, 5000));
    EXPECT_TRUE(g_server->RequestsFor("/cached.html")[1].Has("if-none-match"));
    ASSERT_TRUE(WaitUntil([&] { return !client_->With("end main").empty(); }, 5000));
    client_->Clear();
    browser->ReloadIgnoreCache();
    ASSERT_TRUE(WaitUntil([&] { return g_server->RequestsFor("/cached.html").size() >= 3; }, 5000));
    Request again = g_server->RequestsFor("/cached.html")[2];
    EXPECT_FALSE(again.Has("if-none-match"));
    EXPECT_FALSE(again.Has("if-modified-since"));
    EXPECT_TRUE(WaitUntil([&] { return client_->Has("end main 200 " + g_server->Url("/cached.html")); }, 5000))
        << testing::PrintToString(client_->Lines());
}

TEST_F(BrowserTest, TheViewportFollowsTheWindowAndPicturesArrive) {
    g_server->SetHtml("/size.html", "<html><body style='background:#36c'>size</body></html>");
    CefRefPtr<CefBrowser> browser = Open("/size.html");
    ASSERT_TRUE(browser);
    HWND w = BrowserWindow();
    EXPECT_EQ("1230", Eval(browser, "innerWidth"));
    EXPECT_EQ("620", Eval(browser, "innerHeight"));
    cef_internal::BrowserStats stats;
    // Pictures painted into the window, or the engine's own window in its place.
    ASSERT_TRUE(WaitUntil([&] {
        return cef_internal::GetBrowserStats(browser, &stats) &&
               (stats.embedded ? stats.viewShown : stats.framesPainted > 0 && stats.frameWidth == 1230);
    }, 5000));
    // The program moves the browser's window from its own thread.
    MoveWindow(w, 0, 0, 800, 500, TRUE);
    EXPECT_TRUE(WaitUntil([&] { return Eval(browser, "innerWidth + 'x' + innerHeight") == "800x500"; }, 5000));
    // The engine's own window is seen on the screen only (the system tests look there).
    if (stats.embedded) return;
    EXPECT_EQ(620, stats.frameHeight);
    EXPECT_TRUE(WaitUntil([&] {
        return cef_internal::GetBrowserStats(browser, &stats) && stats.frameWidth == 800 && stats.frameHeight == 500;
    }, 5000)) << stats.frameWidth << "x" << stats.frameHeight;
    // What is painted is the page: its background colour in the middle of the window.
    ASSERT_TRUE(WaitUntil([&] {
        HDC dc = GetDC(w);
        COLORREF c = GetPixel(dc, 400, 250);
        ReleaseDC(w, dc);
        return GetRValue(c) < 0x40 && GetGValue(c) > 0x50 && GetGValue(c) < 0x80 && GetBValue(c) > 0xB0;
    }, 5000));
}

TEST_F(BrowserTest, AClickAndTypedTextReachAFormField) {
    g_server->SetHtml("/form.html",
                      "<html><body style='margin:0'><input id='f' style='position:absolute;left:20px;top:20px;"
                      "width:300px;height:40px;font-size:20px'><div id='d' style='position:absolute;left:20px;"
                      "top:100px;width:200px;height:100px' ondblclick='this.textContent=\"dbl\"'>x</div></body></html>");
    CefRefPtr<CefBrowser> browser = Open("/form.html");
    ASSERT_TRUE(browser);
    HWND w = BrowserWindow();
    POINT pt = {60, 40};
    ClientToScreen(w, &pt);
    SetForegroundWindow(host_->hwnd());
    SetCursorPos(pt.x, pt.y);
    INPUT click[2] = {};
    click[0].type = click[1].type = INPUT_MOUSE;
    click[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    click[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, click, sizeof(INPUT));
    ASSERT_TRUE(WaitUntil([&] { return Eval(browser, "document.activeElement.id") == "f"; }, 5000));
    EXPECT_TRUE(WaitUntil([&] { return GetFocus() == w; }, 2000));
    // Typed as keys: "Hellp", Backspace, "o!" (Shift for the capital and the mark).
    std::vector<INPUT> keys;
    auto key = [&](WORD vk, bool up) {
        INPUT in = {};
        in.type = INPUT_KEYBOARD;
        in.ki.wVk = vk;
        in.ki.wScan = (WORD)MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
        in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
        keys.push_back(in);
    };
    auto tap = [&](WORD vk) { key(vk, false), key(vk, true); };
    key(VK_SHIFT, false), tap('H'), key(VK_SHIFT, true);
    tap('E'), tap('L'), tap('L'), tap('P'), tap(VK_BACK), tap('O');
    key(VK_SHIFT, false), tap('1'), key(VK_SHIFT, true);
    SendInput((UINT)keys.size(), keys.data(), sizeof(INPUT));
    EXPECT_TRUE(WaitUntil([&] { return Eval(browser, "document.getElementById('f').value") == "Hello!"; }, 5000))
        << Eval(browser, "document.getElementById('f').value");
    // Text from an input method arrives whole.
    std::wstring chinese = L"\u4f60\u597d";
    PostMessageW(w, WM_CHAR, chinese[0], 0);
    PostMessageW(w, WM_CHAR, chinese[1], 0);
    EXPECT_TRUE(WaitUntil([&] { return Eval(browser, "document.getElementById('f').value") == "Hello!\xe4\xbd\xa0\xe5\xa5\xbd"; }, 5000));
    // Two quick clicks are a double click to the page.
    PostMessageW(w, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(60, 150));
    PostMessageW(w, WM_LBUTTONUP, 0, MAKELPARAM(60, 150));
    PostMessageW(w, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(60, 150));
    PostMessageW(w, WM_LBUTTONUP, 0, MAKELPARAM(60, 150));
    EXPECT_TRUE(WaitUntil([&] { return Eval(browser, "document.getElementById('d').textContent") == "dbl"; }, 5000));
}

// Runs `work` on the engine's UI thread, where the browser window and its input
// context live, and waits for it.
bool OnUiThread(const std::function<void()>& work) {
    std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
    if (!cef_internal::PostUiTask([work, done] {
            work();
            *done = true;
            SetEvent(ActivityEvent());
        }))
        return false;
    return WaitUntil([&] { return done->load(); }, 5000);
}

// Sets the window's input-method composition, as an input method does while the player types.
bool Compose(HWND w, const std::wstring& text) {
    return OnUiThread([&] {
        HIMC imc = ImmGetContext(w);
        ImmSetOpenStatus(imc, TRUE);
        ImmSetCompositionStringW(imc, SCS_SETSTR, (void*)text.c_str(), (DWORD)(text.size() * sizeof(wchar_t)),
                                 nullptr, 0);
        ImmReleaseContext(w, imc);
    });
}

// Commits (CPS_COMPLETE) or cancels (CPS_CANCEL) the composition.
bool FinishComposition(HWND w, DWORD how) {
    return OnUiThread([&] {
        HIMC imc = ImmGetContext(w);
        ImmNotifyIME(imc, NI_COMPOSITIONSTR, how, 0);
        ImmReleaseContext(w, imc);
    });
}

// The input method goes back to how the thread had it.
void CloseInputMethod(HWND w) {
    OnUiThread([&] {
        HIMC imc = ImmGetContext(w);
        ImmSetOpenStatus(imc, FALSE);
        ImmReleaseContext(w, imc);
    });
}

// Runs `script` in an isolated world of the browser's main frame, as the layer runs its own scripts.
bool InstallInIsolatedWorld(CefRefPtr<CefBrowser> browser, const char* script) {
    auto* impl = dynamic_cast<cef_internal::BrowserImpl*>(browser.get());
    std::shared_ptr<cef_internal::DevToolsConnection> connection = cef_internal::EngineConnection();
    if (!impl || !connection) return false;
    json world, result;
    return connection->Call("Page.createIsolatedWorld", {{"frameId", impl->TargetId()}, {"worldName", "test-world"}},
                            &world, impl->SessionId(), 5000) &&
           world.contains("executionContextId") &&
           connection->Call("Runtime.evaluate", {{"expression", script}, {"contextId", world["executionContextId"]}},
                            &result, impl->SessionId(), 5000) &&
           !result.contains("exceptionDetails");
}

TEST_F(BrowserTest, TheCursorFollowsWhatThePageAsksFor) {
    if (EmbeddedRoute()) GTEST_SKIP() << "the engine's own window sets its own cursor";
    g_server->SetHtml("/cursor.html",
                      "<html><body style='margin:0'><a href='#x' style='display:block;width:300px;height:100px'>"
                      "link</a><input style='display:block;width:300px;height:60px'>"
                      "<div style='cursor:wait;width:300px;height:100px'>busy</div>"
                      "<script>var moves = 0; addEventListener('mousemove', function () { moves++; }, true);</script>"
                      "</body></html>");
    CefRefPtr<CefBrowser> browser = Open("/cursor.html");
    ASSERT_TRUE(browser);
    HWND w = BrowserWindow();
    // The mouse keeps moving over the spot, as a player's does, so a move that
    // reaches the page before its listeners are in place is not the only one.
    auto hoverUntil = [&](int x, int y, LPCWSTR expected) {
        POINT pt = {x, y};
        ClientToScreen(w, &pt);
        SetCursorPos(pt.x, pt.y);
        HCURSOR want = LoadCursorW(nullptr, expected);
        return WaitUntil([&] {
            PostMessageW(w, WM_MOUSEMOVE, 0, MAKELPARAM(x, y));
            // As the system asks when the pointer moves; under Wine a move that only
            // reaches X late would otherwise leave the question unasked.
            SendMessageW(w, WM_SETCURSOR, (WPARAM)w, MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
            return GetCursor() == want;
        }, 15000);
    };
    // On a failure, what the page itself has at that spot, the address it shows and
    // how many moves reached it.
    auto page = [&](int x, int y) {
        return Eval(browser, "(function(){var e=document.elementFromPoint(" + std::to_string(x) + "," +
                                 std::to_string(y) + ");return location.pathname+' '+(e?e.tagName+' '+" +
                                 "getComputedStyle(e).cursor:'nothing')+', moves seen: '+moves})()");
    };
    // And the cursor the window shows instead.
    auto shown = [] {
        HCURSOR c = GetCursor();
        const std::pair<LPCWSTR, const char*> known[] = {
            {IDC_ARROW, "arrow"}, {IDC_HAND, "hand"}, {IDC_IBEAM, "text"}, {IDC_WAIT, "wait"}};
        for (const auto& k : known)
            if (c == LoadCursorW(nullptr, k.first)) return std::string(k.second);
        return std::string(c ? "another" : "none");
    };
    EXPECT_TRUE(hoverUntil(50, 50, IDC_HAND)) << "link: " << page(50, 50) << "; shown " << shown();
    EXPECT_TRUE(hoverUntil(50, 130, IDC_IBEAM)) << "text field: " << page(50, 130) << "; shown " << shown();
    EXPECT_TRUE(hoverUntil(50, 210, IDC_WAIT)) << "cursor: wait: " << page(50, 210) << "; shown " << shown();
    EXPECT_TRUE(hoverUntil(600, 400, IDC_ARROW)) << "plain page: " << page(600, 400) << "; shown " << shown();
}

// The page's render process dies: the client hears of it, the window shows the
// notice instead of the last picture, and the page reloads by itself. A second
// crash within the minute keeps the notice, with a reload the player can click.
TEST_F(BrowserTest, ACrashedPageReloadsItselfOnceAndThenWaitsForThePlayer) {
    g_server->SetHtml("/crash.html", "<html><body style='background:#0a0'>about to crash</body></html>");
    CefRefPtr<CefBrowser> browser = Open("/crash.html");
    ASSERT_TRUE(browser);
    HWND w = BrowserWindow();
    auto stats = [&] {
        cef_internal::BrowserStats s;
        EXPECT_TRUE(cef_internal::GetBrowserStats(browser, &s));
        return s;
    };
    // The page's picture in the window, or the engine's own window back in its place.
    auto green = [&] {
        cef_internal::BrowserStats s = stats();
        return s.embedded ? s.viewShown && !s.crashed : PixelNear(w, 5, 5, RGB(0, 170, 0));
    };
    auto grey = [&] { return PixelAt(w, 5, 5) == RGB(240, 240, 240); };
    ASSERT_TRUE(WaitUntil(green, 5000));
    std::string loaded = "end main 200 " + g_server->Url("/crash.html");

    client_->Clear();
    DWORD t0 = GetTickCount();
    ASSERT_GT(KillEngineRenderers(), 0);
    ASSERT_TRUE(WaitUntil([&] { return !client_->With("terminated").empty(); }, 10000))
        << testing::PrintToString(client_->Lines());
    EXPECT_EQ("terminated " + std::to_string(TS_PROCESS_CRASHED), client_->With("terminated")[0]);
    EXPECT_TRUE(client_->WaitFor(loaded, 10000)) << testing::PrintToString(client_->Lines());
    EXPECT_TRUE(WaitUntil(green, 5000));
    printf("MEASURE page process killed: the page's picture back after %lu ms\n", GetTickCount() - t0);
    EXPECT_FALSE(stats().crashed);

    client_->Clear();
    ASSERT_GT(KillEngineRenderers(), 0);
    ASSERT_TRUE(WaitUntil([&] { return stats().notice == cef_internal::BrowserImpl::kPageLost; }, 10000));
    EXPECT_EQ(1u, client_->With("terminated").size());
    PumpFor(1500);
    EXPECT_TRUE(client_->With("end main").empty()) << "reloaded by itself after a second crash";
    EXPECT_TRUE(grey());
    RECT button = stats().noticeButton;
    ASSERT_LT(button.left, button.right);
    LPARAM middle = MAKELPARAM((button.left + button.right) / 2, (button.top + button.bottom) / 2);
    PostMessageW(w, WM_LBUTTONDOWN, MK_LBUTTON, middle);
    PostMessageW(w, WM_LBUTTONUP, 0, middle);
    EXPECT_TRUE(client_->WaitFor(loaded, 10000)) << testing::PrintToString(client_->Lines());
    EXPECT_TRUE(WaitUntil(green, 5000));
}

// The message box of a script dialog, once it shows.
static HWND FindDialog(const std::wstring& titleStart) {
    for (HWND h : ProcessWindows(L"#32770")) {
        wchar_t title[256] = {0};
        GetWindowTextW(h, title, 256);
        if (std::wstring(title).compare(0, titleStart.size(), titleStart) == 0) return h;
    }
    return nullptr;
}

bool Shown(HWND box, int id) { return IsWindowVisible(GetDlgItem(box, id)) != FALSE; }

TEST_F(BrowserTest, ScriptDialogsAreNativeAndAnswerThePage) {
    g_server->SetHtml("/dialogs.html", "<html><body>dialogs</body></html>");
    CefRefPtr<CefBrowser> browser = Open("/dialogs.html");
    ASSERT_TRUE(browser);
    Eval(browser, "setTimeout(function () { document.title = 'confirm:' + confirm('Sure?'); }, 0); 1");
    HWND box = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (box = FindDialog(L"JavaScript Confirm - http://127.0.0.1:")) != nullptr; },
                          5000));
    // Modal to the page only: it stays above the window around the browser, which
    // keeps working (its close button, the tray, Alt+F4).
    EXPECT_EQ(host_->hwnd(), GetWindow(box, GW_OWNER));
    EXPECT_TRUE(IsWindowEnabled(host_->hwnd()));
    // A page's first dialog has nothing to stop yet.
    EXPECT_FALSE(Shown(box, cef_internal::kScriptDialogStopId));
    // The page waits for the answer; Cancel is false.
    SendMessageW(GetDlgItem(box, IDCANCEL), BM_CLICK, 0, 0);
    EXPECT_TRUE(client_->WaitFor("title confirm:false", 5000)) << testing::PrintToString(client_->Lines());
    Eval(browser, "setTimeout(function () { document.title = 'prompt:' + prompt('Name?', 'abc'); }, 0); 1");
    ASSERT_TRUE(WaitUntil([&] { return (box = FindDialog(L"JavaScript Prompt")) != nullptr; }, 5000));
    // The second one offers to stop the page's dialogs; left unchecked, nothing is stopped.
    EXPECT_TRUE(Shown(box, cef_internal::kScriptDialogStopId));
    SetDlgItemTextW(box, cef_internal::kScriptDialogEditId, L"\u5f20\u4e09");
    SendMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    EXPECT_TRUE(client_->WaitFor("title prompt:\xe5\xbc\xa0\xe4\xb8\x89", 5000))
        << testing::PrintToString(client_->Lines());
    Eval(browser, "setTimeout(function () { alert('third'); document.title = 'alerted'; }, 0); 1");
    ASSERT_TRUE(WaitUntil([&] { return (box = FindDialog(L"JavaScript Alert")) != nullptr; }, 5000));
    SendMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    EXPECT_TRUE(client_->WaitFor("title alerted", 5000)) << testing::PrintToString(client_->Lines());
}

TEST_F(BrowserTest, APageThatKeepsOpeningDialogsIsStoppedByThePlayer) {
    g_server->SetHtml("/loop.html", "<html><body>loop</body></html>");
    CefRefPtr<CefBrowser> browser = Open("/loop.html");
    ASSERT_TRUE(browser);
    Eval(browser, "setTimeout(function () { var n = 0; for (var i = 0; i < 300; i++) { alert('again ' + i); n++; }"
                  " document.title = 'loop done ' + n; }, 0); 1");
    HWND first = nullptr, second = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (first = FindDialog(L"JavaScript Alert")) != nullptr; }, 5000));
    SendMessageW(GetDlgItem(first, IDOK), BM_CLICK, 0, 0);
    ASSERT_TRUE(WaitUntil([&] {
        second = FindDialog(L"JavaScript Alert");
        return second && second != first;
    }, 5000));
    ASSERT_TRUE(Shown(second, cef_internal::kScriptDialogStopId));
    SendMessageW(GetDlgItem(second, cef_internal::kScriptDialogStopId), BM_CLICK, 0, 0);
    ASSERT_EQ(BST_CHECKED, (int)SendMessageW(GetDlgItem(second, cef_internal::kScriptDialogStopId), BM_GETCHECK, 0, 0));
    DWORD stopped = GetTickCount();
    SendMessageW(GetDlgItem(second, IDOK), BM_CLICK, 0, 0);
    // The rest go by unseen, answered as if dismissed at once.
    EXPECT_TRUE(client_->WaitFor("title loop done 300", 15000)) << testing::PrintToString(client_->Lines());
    printf("  298 stopped alerts answered in %lu ms\n", (unsigned long)(GetTickCount() - stopped));
    EXPECT_EQ(nullptr, FindDialog(L"JavaScript"));
    Eval(browser, "setTimeout(function () { document.title = 'later ' + confirm('x') + ' ' + prompt('y', 'z'); }, 0); 1");
    EXPECT_TRUE(client_->WaitFor("title later false null", 5000)) << testing::PrintToString(client_->Lines());
    EXPECT_EQ(nullptr, FindDialog(L"JavaScript"));
}

TEST_F(BrowserTest, AltF4OverADialogClosesTheWindowAroundThePageAndTheDialogWithIt) {
    g_server->SetHtml("/trap.html", "<html><body>trap</body></html>");
    CefRefPtr<CefBrowser> browser = Open("/trap.html");
    ASSERT_TRUE(browser);
    Eval(browser, "setTimeout(function () { for (;;) alert('stay'); }, 0); 1");
    HWND box = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (box = FindDialog(L"JavaScript Alert")) != nullptr; }, 5000));
    HWND host = host_->hwnd();
    // As the keyboard delivers it to the dialog (Alt held: a system key).
    PostMessageW(box, WM_SYSKEYDOWN, VK_F4, 0x20000001);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(host); }, 5000)) << "the window around the page stayed";
    EXPECT_TRUE(client_->WaitFor("closed", 5000)) << testing::PrintToString(client_->Lines());
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(box); }, 5000)) << "the dialog outlived its browser";
}

TEST_F(BrowserTest, ProcessMessagesReachTheRenderProcessAndComeBack) {
    g_server->SetHtml("/xf.html", "<html><body><span id='login_user'>player\xe4\xb8\x80</span></body></html>");
    CefRefPtr<CefBrowser> browser = Open("/xf.html");
    ASSERT_TRUE(browser);
    CefRefPtr<CefProcessMessage> request = CefProcessMessage::Create("velmar_msg");
    request->GetArgumentList()->SetSize(1);
    request->GetArgumentList()->SetString(0, "getuser");
    // The render process may still be starting; the message waits for it.
    EXPECT_TRUE(browser->SendProcessMessage(PID_RENDERER, request));
    EXPECT_TRUE(client_->WaitFor("message velmar_msg getuser player\xe4\xb8\x80", 15000))
        << testing::PrintToString(client_->Lines());
    EXPECT_FALSE(browser->SendProcessMessage(PID_BROWSER, request));
}

// Last of the engine tests: it opens the input method of the engine's thread.
TEST_F(BrowserTest, APageFallsSilentWhileItsWindowIsHiddenNotMinimised) {
    // An audio context with a tone, and a looping sound in a media element; the
    // same sound in an inner frame of another site ("localhost" is not
    // "127.0.0.1"), which runs in a process of its own and tells the page its state.
    const std::string loop = R"(
var n = 2205, b = new Uint8Array(44 + 2 * n), v = new DataView(b.buffer);
[82,73,70,70].forEach(function (c, i) { b[i] = c; }); v.setUint32(4, 36 + 2 * n, true);
[87,65,86,69,102,109,116,32].forEach(function (c, i) { b[8 + i] = c; });
v.setUint32(16, 16, true); v.setUint16(20, 1, true); v.setUint16(22, 1, true); v.setUint32(24, 22050, true);
v.setUint32(28, 44100, true); v.setUint16(32, 2, true); v.setUint16(34, 16, true);
[100,97,116,97].forEach(function (c, i) { b[36 + i] = c; }); v.setUint32(40, 2 * n, true);
var media = new Audio(URL.createObjectURL(new Blob([b], {type: 'audio/wav'})));
media.loop = true; media.play();
)";
    g_server->SetHtml("/sound-frame.html", "<html><body><script>" + loop +
                                               "setInterval(function () { parent.postMessage(media.muted + ' ' + "
                                               "!media.paused, '*'); }, 100);</script></body></html>");
    g_server->SetHtml("/sound.html", "<html><body><script>"
                                     "var ctx = new AudioContext(), osc = ctx.createOscillator(), gain = ctx.createGain();"
                                     "gain.gain.value = 0.01; osc.connect(gain); gain.connect(ctx.destination); osc.start();" +
                                         loop + "var inner = '';"
                                     "addEventListener('message', function (e) { inner = e.data; });</script>"
                                     "<iframe src='http://localhost:" + std::to_string(g_server->port()) +
                                         "/sound-frame.html'></iframe></body></html>");
    CefRefPtr<CefBrowser> browser = Open("/sound.html");
    ASSERT_TRUE(browser);
    auto state = [&] { return Eval(browser, "ctx.state + ' ' + media.muted + ' ' + !media.paused + ' / ' + inner"); };
    ASSERT_TRUE(WaitUntil([&] { return state() == "running false true / false true"; }, 10000)) << state();

    HWND top = host_->hwnd();
    ShowWindow(top, SW_HIDE);
    EXPECT_TRUE(WaitUntil([&] { return state() == "suspended true true / true true"; }, 5000)) << state();
    // The page cannot bring its sound back while hidden.
    Eval(browser, "ctx.resume(), 1");
    PumpFor(300);
    EXPECT_EQ("suspended", Eval(browser, "ctx.state"));
    ShowWindow(top, SW_SHOW);
    EXPECT_TRUE(WaitUntil([&] { return state() == "running false true / false true"; }, 5000)) << state();

    // Minimised, it is still heard, as a minimised web browser is: only hiding silences.
    ShowWindow(top, SW_MINIMIZE);
    ASSERT_TRUE(IsIconic(top));
    PumpFor(500);
    EXPECT_EQ("running false true / false true", state());
    ShowWindow(top, SW_RESTORE);
}

TEST_F(BrowserTest, AnInputMethodComposesInTheFieldAndCommitsOnce) {
    g_server->SetHtml("/ime.html",
                      "<html><body style='margin:0'><input id='f' style='position:absolute;left:20px;top:30px;"
                      "width:300px;height:40px;font-size:20px'><script>var log=[],f=document.getElementById('f');"
                      "['compositionstart','compositionupdate','compositionend'].forEach(function(t){"
                      "f.addEventListener(t,function(e){log.push(t+':'+e.data);});});</script></body></html>");
    CefRefPtr<CefBrowser> browser = Open("/ime.html");
    ASSERT_TRUE(browser);
    HWND w = BrowserWindow();
    // The input method talks to the window with the keyboard focus, as after a click into the page.
    SetForegroundWindow(host_->hwnd());
    SetFocus(w);
    ASSERT_EQ(w, GetFocus());
    Eval(browser, "f.focus()");
    auto value = [&] { return Eval(browser, "f.value"); };
    auto log = [&] { return Eval(browser, "log.join(' ')"); };
    auto compose = [&](const std::wstring& text) { return Compose(w, text); };
    auto finish = [&](DWORD how) { return FinishComposition(w, how); };
    // The composition shows in the field while it is being typed.
    ASSERT_TRUE(compose(L"zhong"));
    EXPECT_TRUE(WaitUntil([&] { return value() == "zhong"; }, 5000)) << value();
    EXPECT_TRUE(WaitUntil([&] { return log() == "compositionstart: compositionupdate:zhong"; }, 5000)) << log();
    // The candidate list opens under the field, not over it.
    CANDIDATEFORM placed = {};
    EXPECT_TRUE(WaitUntil([&] {
        OnUiThread([&] {
            HIMC imc = ImmGetContext(w);
            ImmGetCandidateWindow(imc, 0, &placed);
            ImmReleaseContext(w, imc);
        });
        return placed.dwStyle == CFS_EXCLUDE;
    }, 5000));
    EXPECT_EQ(20, placed.rcArea.left);
    EXPECT_EQ(30, placed.rcArea.top);
    EXPECT_EQ(70, placed.rcArea.bottom);
    EXPECT_EQ(70, placed.ptCurrentPos.y);
    // Chosen and committed: the text once, and the page hears the composition end with it.
    ASSERT_TRUE(compose(L"\u4e2d\u6587"));
    ASSERT_TRUE(finish(CPS_COMPLETE));
    const std::string chinese = "\xe4\xb8\xad\xe6\x96\x87";
    EXPECT_TRUE(WaitUntil([&] { return log().find("compositionend:") != std::string::npos; }, 5000)) << log();
    EXPECT_EQ(chinese, value());
    // (The engine repeats the final text as an update before the end.)
    std::string events = log();
    EXPECT_EQ(0u, events.find("compositionstart: compositionupdate:zhong compositionupdate:" + chinese)) << events;
    std::string end = " compositionend:" + chinese;
    EXPECT_EQ(events.size() - end.size(), events.find(end)) << events;
    EXPECT_EQ(events.find("compositionstart"), events.rfind("compositionstart")) << events;
    // Cancelled: what was being composed goes away again.
    ASSERT_TRUE(compose(L"ab"));
    EXPECT_TRUE(WaitUntil([&] { return value() == chinese + "ab"; }, 5000)) << value();
    ASSERT_TRUE(finish(CPS_CANCEL));
    EXPECT_TRUE(WaitUntil([&] { return value() == chinese; }, 5000)) << value();
    CloseInputMethod(w);
}

// A stand-in for the Flash emulator's player: its hidden text field types its whole
// value into the "movie" on every input event and empties it, and the movie sees the
// keys that reach the player, as with the emulator. The guard is the layer's own
// script, in an isolated world as the layer runs it.
TEST_F(BrowserTest, AMoviesTextFieldGetsOnlyTheCommittedTextOfAComposition) {
    // There the page takes clicks, keys and the input method straight from X (the
    // engine's own input method); the system tests type through a real one on it.
    if (EmbeddedRoute()) GTEST_SKIP() << "the page takes its input from X there";
    g_server->SetHtml("/movie-ime.html", R"(<html><body style='margin:0'>
<ruffle-embed id='p' style='position:absolute;left:20px;top:30px;width:400px;height:200px;display:block'></ruffle-embed>
<script>
var movie = '', keys = [], host = document.getElementById('p');
var root = host.attachShadow({mode: 'open', delegatesFocus: true});
root.innerHTML = "<style>#virtual-keyboard{height:1px;opacity:0;position:absolute;top:-100px;width:1px}</style>" +
                 "<input id='virtual-keyboard' type='text' autocomplete='off'>";
var kb = root.getElementById('virtual-keyboard');
kb.addEventListener('input', function () { for (var c of kb.value) movie += c; kb.value = ''; });
host.addEventListener('keydown', function (e) { keys.push(e.key); if (e.key === 'Backspace') movie = movie.slice(0, -1); });
</script></body></html>)");
    CefRefPtr<CefBrowser> browser = Open("/movie-ime.html");
    ASSERT_TRUE(browser);
    ASSERT_TRUE(InstallInIsolatedWorld(browser, cef_internal::kImeGuardScript));
    HWND w = BrowserWindow();
    SetForegroundWindow(host_->hwnd());
    SetFocus(w);
    ASSERT_EQ(w, GetFocus());
    // The player clicks into the movie's text field: the hidden field takes the focus.
    auto* impl = dynamic_cast<cef_internal::BrowserImpl*>(browser.get());
    for (const char* type : {"mousePressed", "mouseReleased"}) {
        json done;
        ASSERT_TRUE(cef_internal::EngineConnection()->Call(
            "Input.dispatchMouseEvent",
            {{"type", type}, {"x", 100}, {"y", 80}, {"button", "left"}, {"buttons", 1}, {"clickCount", 1}}, &done,
            impl->SessionId(), 5000));
    }
    ASSERT_TRUE(WaitUntil([&] { return Eval(browser, "String(root.activeElement === kb)") == "true"; }, 5000));
    SetFocus(w);  // the input method's messages go to the window with the keyboard focus
    auto movie = [&] { return Eval(browser, "movie"); };
    auto typed = [&](const std::wstring& chars) {
        for (wchar_t c : chars) PostMessageW(w, WM_CHAR, c, 0);
    };
    auto press = [&](UINT vk) {
        PostMessageW(w, WM_KEYDOWN, vk, 1);
        PostMessageW(w, WM_KEYUP, vk, 0xC0000001);
    };
    // Plain letters and digits go straight in.
    typed(L"a1");
    ASSERT_TRUE(WaitUntil([&] { return movie() == "a1"; }, 5000)) << movie();

    // Composing: nothing reaches the movie, the hidden field shows the composition
    // where the player clicked, and the candidate list opens there.
    ASSERT_TRUE(Compose(w, L"n"));
    ASSERT_TRUE(Compose(w, L"ni"));
    EXPECT_TRUE(WaitUntil([&] { return Eval(browser, "kb.value") == "ni"; }, 5000)) << Eval(browser, "kb.value");
    EXPECT_EQ("[\"1\",100,70]", Eval(browser, "JSON.stringify([getComputedStyle(kb).opacity, "
                                               "Math.round(kb.getBoundingClientRect().left), "
                                               "Math.round(kb.getBoundingClientRect().top)])"));
    CANDIDATEFORM placed = {};
    EXPECT_TRUE(WaitUntil([&] {
        OnUiThread([&] {
            HIMC imc = ImmGetContext(w);
            ImmGetCandidateWindow(imc, 0, &placed);
            ImmReleaseContext(w, imc);
        });
        return placed.dwStyle == CFS_EXCLUDE && placed.rcArea.left == 100;
    }, 5000)) << placed.rcArea.left << "," << placed.rcArea.top;
    EXPECT_EQ(70, placed.rcArea.top);
    // Keys the input method uses while composing are not the movie's.
    press(VK_BACK);
    press(VK_LEFT);
    ASSERT_TRUE(Compose(w, L"nihao"));
    ASSERT_TRUE(Compose(w, L"\u4f60\u597d"));
    EXPECT_TRUE(WaitUntil([&] { return Eval(browser, "kb.value") == "\xe4\xbd\xa0\xe5\xa5\xbd"; }, 5000));
    EXPECT_EQ("a1", movie());
    // Committed: the text once.
    ASSERT_TRUE(FinishComposition(w, CPS_COMPLETE));
    EXPECT_TRUE(WaitUntil([&] { return movie() == "a1\xe4\xbd\xa0\xe5\xa5\xbd"; }, 5000)) << movie();
    EXPECT_EQ("[\"\",\"0\"]", Eval(browser, "JSON.stringify([kb.value, getComputedStyle(kb).opacity])"));
    // Cancelled: nothing.
    ASSERT_TRUE(Compose(w, L"ab"));
    EXPECT_TRUE(WaitUntil([&] { return Eval(browser, "kb.value") == "ab"; }, 5000));
    ASSERT_TRUE(FinishComposition(w, CPS_CANCEL));
    EXPECT_TRUE(WaitUntil([&] { return Eval(browser, "kb.value") == ""; }, 5000)) << Eval(browser, "kb.value");
    // Afterwards plain characters and keys reach the movie again.
    typed(L"2");
    press(VK_LEFT);
    EXPECT_TRUE(WaitUntil([&] { return Eval(browser, "keys.join()") == "ArrowLeft"; }, 5000))
        << Eval(browser, "keys.join()");
    EXPECT_EQ("a1\xe4\xbd\xa0\xe5\xa5\xbd" "2", movie());
    CloseInputMethod(w);
}

}  // namespace
