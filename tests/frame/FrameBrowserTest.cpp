// The frame's reactions to browser events, called from a thread of their own as
// the engine does, and the gate that keeps those calls off a frame that is gone.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>
#include "FrameTestSupport.h"
#include "common/TestUtil.h"
#include "browser/ClientHandler.h"
#include "BuildConfig.h"
#include "browser/PopupGate.h"
#include "frame/EngineGate.h"
#include "frame/FrameGame.h"
#include "frame/FrameLogic.h"

using namespace frametest;
using testutil::PumpFor;
using testutil::PumpUntil;

namespace {
std::wstring ServerId(CFrameGame& game) {
    wchar_t id[64];
    game.CopyServerId(id, 64);
    return id;
}

std::wstring Title(CFrameGame& game) {
    wchar_t t[260];
    game.CopyPageTitle(t, 260);
    return t;
}

std::wstring UserName(gameApp& app) {
    wchar_t n[64];
    app.CopyUserName(n, 64);
    return n;
}

void LoadStart(CFrameGame& game, const std::wstring& url) {
    OnEngineThread([&] {
        CefRefPtr<FakeBrowser> browser = new FakeBrowser();
        CefRefPtr<FakeFrame> frame = new FakeFrame(url);
        game.HandleLoadStart(browser.get(), frame.get());
    });
}

void LoadEnd(CFrameGame& game, const std::wstring& url, CefRefPtr<FakeBrowser> browser = nullptr) {
    OnEngineThread([&] {
        CefRefPtr<FakeBrowser> b = browser ? browser : CefRefPtr<FakeBrowser>(new FakeBrowser());
        CefRefPtr<FakeFrame> frame = new FakeFrame(url);
        game.HandleLoadEnd(b.get(), frame.get(), 200);
    });
}

CefRefPtr<CefProcessMessage> Reply(const wchar_t* name, std::initializer_list<const wchar_t*> args) {
    CefRefPtr<CefProcessMessage> m = CefProcessMessage::Create(name);
    CefRefPtr<CefListValue> list = m->GetArgumentList();
    list->SetSize(args.size());
    int i = 0;
    for (const wchar_t* a : args) list->SetString(i++, a);
    return m;
}

bool Message(CFrameGame& game, CefProcessId source, CefRefPtr<CefProcessMessage> m) {
    bool answer = false;
    OnEngineThread([&] { answer = game.HandleProcessMessage(nullptr, source, m); });
    return answer;
}

struct GateCtx {
    CEngineGate* gate;
    HWND target;
    std::atomic<bool>*inside, *moved, *leftGate;
};

DWORD WINAPI HandlerInsideGate(void* p) {
    GateCtx* c = static_cast<GateCtx*>(p);
    CEngineGate::Pass pass(*c->gate);
    if (!pass) return 1;
    *c->inside = true;
    Sleep(200);
    MoveWindow(c->target, 20, 20, 30, 30, TRUE);  // sent to the main thread
    *c->moved = true;
    Sleep(100);
    *c->leftGate = true;
    return 0;
}

// Whether some pixel of the frame's title text area is nearly white.
bool TitleAreaHasWhite(HWND frame) {
    HDC dc = GetDC(frame);
    bool found = false;
    for (int y = 6; y < 22 && !found; ++y)
        for (int x = 28; x < 300 && !found; ++x) {
            COLORREF c = GetPixel(dc, x, y);
            if (c != CLR_INVALID && GetRValue(c) > 200 && GetGValue(c) > 200 && GetBValue(c) > 200) found = true;
        }
    ReleaseDC(frame, dc);
    return found;
}

// The bar around and under the title's place is the bar's plain background:
// every column as the one further right, where no title reaches.
bool TitlePlaceIsPlainBar(HWND frame) {
    HDC dc = GetDC(frame);
    bool plain = true;
    for (int y = 0; y < 25 && plain; ++y) {
        COLORREF bar = GetPixel(dc, 600, y);
        for (int x = 22; x < 560 && plain; ++x) plain = GetPixel(dc, x, y) == bar;
    }
    ReleaseDC(frame, dc);
    return plain;
}
}  // namespace

TEST(FrameBrowser, LoginAtLoadEndSwitchesAndKeepsTheServerId) {
    RunWithFrame([](gameApp& app, CFrameGame& game) {

        // A server id without a login marker changes nothing.
        LoadEnd(game, L"http://g.test/list?server_id=42");
        LoadStart(game, L"http://g.test/list?server_id=42");
        PumpFor(1800);
        EXPECT_FALSE(game.inGameLayout);
        EXPECT_EQ(ServerId(game), L"");

        // Seen at load start and at load end of the same load: the end switches at
        // once; the fallback finds the switch done and posts nothing more.
        LoadStart(game, L"http://g.test/play?act=gamelogin&server_id=17&time=5");
        EXPECT_EQ(ServerId(game), L"17");
        EXPECT_FALSE(game.inGameLayout);
        LoadEnd(game, L"http://g.test/play?act=gamelogin&server_id=17&time=5");
        ASSERT_TRUE(PumpUntil([&] { return game.inGameLayout.load(); }, 500));
        ASSERT_TRUE(PumpUntil([&] { return IsZoomed(game.hwnd) && IsWindowVisible(game.hwnd); }, kWait));
        // A second switch would hide the frame again.
        DWORD until = GetTickCount() + 1500;
        bool stayedVisible = true;
        PumpUntil([&] {
            stayedVisible = stayedVisible && IsWindowVisible(game.hwnd);
            return GetTickCount() > until;
        }, kWait);
        EXPECT_TRUE(stayedVisible) << "the fallback switched a second time";

        // After the switch the server id stays, and no name request goes out.
        CefRefPtr<FakeBrowser> browser = new FakeBrowser();
        LoadStart(game, L"http://g.test/play?act=gamelogin&server_id=99");
        LoadEnd(game, L"http://g.test/xf.html?act=gamelogin&server_id=99", browser);
        EXPECT_EQ(ServerId(game), L"17");
        EXPECT_TRUE(browser->SentMessages().empty());
    });
}

TEST(FrameBrowser, LoginAtLoadStartSwitchesAfterTheFallback) {
    RunWithFrame([](gameApp& app, CFrameGame& game) {
        std::wstring sibling = std::wstring(L"http://") + SIBLING_GAME_HOST + L"/enter?server_id=s3";
        LoadStart(game, sibling);
        EXPECT_EQ(ServerId(game), L"s3");
        // Nothing before the fallback's 1500 ms, the switch soon after.
        EXPECT_FALSE(PumpUntil([&] { return game.inGameLayout.load(); }, 1200));
        EXPECT_TRUE(PumpUntil([&] { return game.inGameLayout.load(); }, 1500));
    });
}

TEST(FrameBrowser, LoginWithoutServerIdKeepsThePreviousOne) {
    RunWithFrame([](gameApp& app, CFrameGame& game) {
        LoadStart(game, L"http://g.test/a?act=gamelogin&server_id=8");
        LoadEnd(game, L"http://g.test/a?act=gamelogin");
        EXPECT_EQ(ServerId(game), L"8");
        ASSERT_TRUE(PumpUntil([&] { return game.inGameLayout.load(); }, 1000));
    });
}

TEST(FrameBrowser, NamePageAsksTheRendererForTheUser) {
    RunWithFrame([](gameApp& app, CFrameGame& game) {
        CefRefPtr<FakeBrowser> browser = new FakeBrowser();
        LoadEnd(game, L"http://g.test/xf.html", browser);
        std::vector<FakeBrowser::Sent> sent = browser->SentMessages();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].target, PID_RENDERER);
        EXPECT_EQ(sent[0].name, L"velmar_msg");
        ASSERT_EQ(sent[0].args.size(), 1u);
        EXPECT_EQ(sent[0].args[0], L"getuser");
        PumpFor(100);
        EXPECT_FALSE(game.inGameLayout);

        // Both at once: the request and the switch.
        LoadEnd(game, L"http://g.test/xf.html?act=gamelogin&server_id=3", browser);
        EXPECT_EQ(browser->SentMessages().size(), 2u);
        EXPECT_TRUE(PumpUntil([&] { return game.inGameLayout.load(); }, 1000));

        // The answer carries the name; the wrong shapes are ignored but answered.
        EXPECT_TRUE(Message(game, PID_RENDERER, Reply(L"velmar_msg", {L"getuser", L"张三"})));
        EXPECT_EQ(UserName(app), L"张三");
        EXPECT_TRUE(Message(game, PID_RENDERER, Reply(L"velmar_msg", {L"getuser"})));
        EXPECT_TRUE(Message(game, PID_RENDERER, Reply(L"velmar_msg", {L"other", L"x"})));
        EXPECT_TRUE(Message(game, PID_RENDERER, Reply(L"other_msg", {L"getuser", L"x"})));
        EXPECT_EQ(UserName(app), L"张三");
        EXPECT_FALSE(Message(game, PID_BROWSER, Reply(L"velmar_msg", {L"getuser", L"x"})));
        EXPECT_EQ(UserName(app), L"张三");
        EXPECT_TRUE(Message(game, PID_RENDERER, Reply(L"velmar_msg", {L"getuser", L""})));
        EXPECT_EQ(UserName(app), L"");
    });
}

TEST(FrameBrowser, TitleIsDrawnInTheGameLayoutOnly) {
    RunWithFrame([](gameApp& app, CFrameGame& game) {
        OnEngineThread([&] { game.HandleTitleChange(CefString(L"Vornmark 第一区")); });
        EXPECT_EQ(Title(game), L"Vornmark 第一区");

        // A long title keeps its start; an unpaired surrogate comes out replaced.
        std::wstring longTitle(300, L'x');
        longTitle[258] = 0xD83D;
        longTitle[259] = 0xDE00;
        OnEngineThread([&] { game.HandleTitleChange(CefString(longTitle)); });
        std::wstring kept = Title(game);
        EXPECT_EQ(kept, std::wstring(258, L'x'));
        OnEngineThread([&] { game.HandleTitleChange(CefString(std::wstring(L"a\xD800" L"b"))); });
        EXPECT_EQ(Title(game), L"a\xFFFD" L"b");

        OnEngineThread([&] { game.HandleTitleChange(CefString(L"")); });
        ASSERT_TRUE(EnterGame(game));
        EXPECT_FALSE(TitleAreaHasWhite(game.hwnd)) << "an empty title drew something";
        // A new title shows without anything else repainting the bar.
        OnEngineThread([&] { game.HandleTitleChange(CefString(L"Vornmark Title")); });
        EXPECT_TRUE(PumpUntil([&] { return TitleAreaHasWhite(game.hwnd); }, 3000)) << "no title in the title bar";

        // A page blinking its title faster than the main thread looks, here all at
        // once while it looks away: the boss key queued behind still answers at
        // once, and the bar ends on the last title (empty), not on one before it.
        OnEngineThread([&] {
            for (int i = 0; i < 50000; ++i) game.HandleTitleChange(CefString(i % 2 ? L"★ 公告 ★" : L"Vornmark"));
            game.HandleTitleChange(CefString(L""));
        });
        PostMessageW(game.hwnd, WM_HOTKEY, HOTKEY_BOSS, MAKELPARAM(MOD_ALT, 'D'));
        EXPECT_TRUE(PumpUntil([&] { return !IsWindowVisible(game.hwnd) || IsIconic(game.hwnd); }, 1000))
            << "the boss key waited behind the title changes";
        PostMessageW(game.hwnd, WM_HOTKEY, HOTKEY_BOSS, MAKELPARAM(MOD_ALT, 'D'));
        ASSERT_TRUE(PumpUntil([&] { return GameLayoutShown(game); }, kWait));
        PumpFor(200);
        EXPECT_FALSE(TitleAreaHasWhite(game.hwnd)) << "the bar kept a title from before the last";
        // Only the title's place was repainted, and it is not told from the rest.
        OnEngineThread([&] { game.HandleTitleChange(CefString(L"x")); });
        PumpFor(200);
        OnEngineThread([&] { game.HandleTitleChange(CefString(L"")); });
        PumpFor(200);
        EXPECT_TRUE(TitlePlaceIsPlainBar(game.hwnd)) << "a repaint of the title left a mark in the bar";
        // And the next title still gets through.
        OnEngineThread([&] { game.HandleTitleChange(CefString(L"Vornmark Title")); });
        EXPECT_TRUE(PumpUntil([&] { return TitleAreaHasWhite(game.hwnd); }, 3000)) << "titles stopped after a flood";
    });
}

TEST(EngineGate, CloseWaitsForHandlersWithoutBlockingTheirCalls) {
    testutil::RunWithManager([] {
        // A window of this thread that a handler inside the gate moves, as the
        // host's refit does; Close must serve that call while it waits.
        HWND target = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        ASSERT_TRUE(target);
        CEngineGate gate;
        std::atomic<bool> inside{false}, moved{false}, leftGate{false};
        GateCtx ctx = {&gate, target, &inside, &moved, &leftGate};
        HANDLE thread = CreateThread(nullptr, 0, HandlerInsideGate, &ctx, 0, nullptr);
        ASSERT_TRUE(thread);
        testutil::PumpUntil([&] { return inside.load(); }, kWait);
        gate.Close();
        EXPECT_TRUE(moved);
        EXPECT_TRUE(leftGate) << "Close returned while a handler was inside";
        EXPECT_FALSE(gate.Enter());
        WaitForSingleObject(thread, 5000);
        CloseHandle(thread);
        DestroyWindow(target);
    });
}

TEST(FrameBrowser, BoundHandlersStopWithTheFrameWindow) {
    RunWithFrame([](gameApp& app, CFrameGame& game) {
        CefRefPtr<ClientHandler> handler = game.browserHost.GetClientHandler();
        ASSERT_TRUE(handler);
        ASSERT_TRUE(handler->loadEndCallback && handler->loadStartCallback && handler->titleChangeCallback &&
                    handler->beforePopupCallback && handler->processMessageCallback);
        CefRefPtr<FakeBrowser> browser = new FakeBrowser();
        // Through the client handler, as the engine calls it.
        OnEngineThread([&] {
            handler->titleChangeCallback(CefString(L"bound"));
            handler->loadEndCallback(browser.get(), new FakeFrame(L"http://g.test/?act=gamelogin&server_id=5"), 200);
        });
        EXPECT_EQ(Title(game), L"bound");
        EXPECT_EQ(ServerId(game), L"5");
        EXPECT_TRUE(PumpUntil([&] { return game.inGameLayout.load(); }, kWait));

        CloseFrame(game);
        // The engine may still hold the handler: calls now leave the frame alone
        // and take the handler's own answers.
        bool popup = false, message = true;
        OnEngineThread([&] {
            handler->titleChangeCallback(CefString(L"late"));
            handler->loadStartCallback(browser.get(), new FakeFrame(L"http://g.test/?act=gamelogin&server_id=6"));
            CefWindowInfo info;
            CefRefPtr<CefClient> client;
            CefBrowserSettings settings;
            popup = handler->beforePopupCallback(CefString(L"http://g.test/popup"), info, client, settings);
            message = handler->processMessageCallback(browser.get(), PID_RENDERER,
                                                      Reply(L"velmar_msg", {L"getuser", L"late"}));
        });
        EXPECT_EQ(Title(game), L"bound");
        EXPECT_EQ(ServerId(game), L"5");
        EXPECT_TRUE(popup);
        EXPECT_FALSE(message);
        EXPECT_EQ(UserName(app), L"");
    });
}

TEST(PopupGate, ThePlayersActionsAndTheGamesOwnPagesOneASecond) {
    CPopupGate gate;
    // Without the player's action nothing of a foreign site goes, however long the page waits.
    for (DWORD t = 0; t < 5000; t += 10) ASSERT_FALSE(gate.Admit(false, false, t));
    EXPECT_TRUE(gate.Admit(true, false, 5000));
    EXPECT_FALSE(gate.Admit(true, false, 5001));
    EXPECT_FALSE(gate.Admit(false, true, 5999)) << "the game's own pages share the interval";
    EXPECT_TRUE(gate.Admit(true, false, 6000));
    // A refused one does not start a new interval.
    EXPECT_FALSE(gate.Admit(true, false, 6500));
    EXPECT_TRUE(gate.Admit(false, true, 7000)) << "the game's own page needs no gesture";
    EXPECT_FALSE(gate.Admit(false, true, 7999));
    // Across the tick count's wrap.
    CPopupGate wrap;
    EXPECT_TRUE(wrap.Admit(true, false, 0xFFFFFF00u));
    EXPECT_FALSE(wrap.Admit(true, false, 0x000000F0u));
    EXPECT_TRUE(wrap.Admit(true, false, 0x00000300u));
}

TEST(PopupGate, OwnHostsByHostAndPortNeverByLookalikes) {
    struct Case {
        const wchar_t* address;
        const wchar_t* host;
        bool on;
    } cases[] = {
        {L"http://pay.vm.test/?game_id=1530&user_name=a", L"pay.vm.test", true},
        {L"HTTPS://Pay.VM.test/order", L"pay.vm.test", true},
        {L"http://pay.vm.test:80/", L"pay.vm.test", true},
        {L"https://pay.vm.test:443", L"pay.vm.test", true},
        {L"http://127.0.0.3:18765/pay", L"127.0.0.3:18765", true},
        {L"http://127.0.0.3:18766/pay", L"127.0.0.3:18765", false},
        {L"http://127.0.0.3/pay", L"127.0.0.3:18765", false},
        {L"http://pay.vm.test:8080/", L"pay.vm.test", false},
        {L"http://pay.vm.test.evil.example/", L"pay.vm.test", false},
        {L"http://evilpay.vm.test/", L"pay.vm.test", false},
        {L"http://pay.vm.test@evil.example/", L"pay.vm.test", false},
        {L"http://evil.example/?u=http://pay.vm.test/", L"pay.vm.test", false},
        {L"http://evil.example\\@pay.vm.test/", L"pay.vm.test", false},
        {L"javascript:location='http://pay.vm.test/'", L"pay.vm.test", false},
        {L"file://pay.vm.test/c$/x", L"pay.vm.test", false},
        {L"http:///", L"pay.vm.test", false},
        {L"", L"pay.vm.test", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.on, AddressIsOnHost(c.address, c.host)) << std::string(c.address, c.address + wcslen(c.address));
    EXPECT_TRUE(IsOwnHostAddress(std::wstring(L"http://") + VORNMARK_PAY_HOST_W + L"/?game_id=1530"));
    EXPECT_TRUE(IsOwnHostAddress(std::wstring(L"http://") + VORNMARK_SIBLING_GAME_HOST_W + L"/enter"));
    EXPECT_FALSE(IsOwnHostAddress(L"http://127.0.0.5:1/ad"));
}

TEST(FrameBrowser, PopupsReachTheFrameOnlyFromThePlayersActions) {
    CefRefPtr<ClientHandler> handler = new ClientHandler();
    std::vector<std::wstring> passed;
    handler->beforePopupCallback = [&](const CefString& url, CefWindowInfo&, CefRefPtr<CefClient>&,
                                       CefBrowserSettings&) {
        passed.push_back(url.ToWString());
        return true;
    };
    auto popup = [&](const wchar_t* url, bool gesture) {
        CefWindowInfo info;
        CefRefPtr<CefClient> client;
        CefBrowserSettings settings;
        CefPopupFeatures features;
        bool noScript = false;
        return handler->OnBeforePopup(nullptr, nullptr, CefString(url), CefString(L""), WOD_NEW_FOREGROUND_TAB,
                                      gesture, features, info, client, settings, &noScript);
    };
    // 200 a page opens by itself: every one is cancelled, none reaches the frame.
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(popup(L"http://g.test/ad", false));
    EXPECT_TRUE(passed.empty());
    // A click opens one; the page's second one in the same moment is cancelled. On
    // a machine so busy that the interval passed between the two, both may go.
    DWORD first = GetTickCount();
    EXPECT_TRUE(popup(L"http://g.test/clicked", true));
    EXPECT_TRUE(popup(L"http://g.test/again", true));
    DWORD took = GetTickCount() - first;
    ASSERT_FALSE(passed.empty());
    EXPECT_EQ(L"http://g.test/clicked", passed[0]);
    if (took < CPopupGate::kMinIntervalMs) {
        EXPECT_EQ(1u, passed.size());
    }
    passed.resize(1);
    // The game's payment page, opened by its script after the server's reply, goes
    // on without a gesture once the interval has passed.
    std::wstring pay = std::wstring(L"http://") + VORNMARK_PAY_HOST_W + L"/?game_id=1530&order=7";
    Sleep(CPopupGate::kMinIntervalMs + 50);
    EXPECT_TRUE(popup(pay.c_str(), false));
    ASSERT_EQ(2u, passed.size());
    EXPECT_EQ(pay, passed[1]);
}
