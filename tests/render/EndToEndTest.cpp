// The user-name exchange across real processes: this executable as the render
// process (started by RenderHost as the browser layer starts it), a headless
// engine showing pages served by the test, and answers arriving on the engine
// UI thread.
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include "app/GameApp.h"
#include "app/LaunchFilter.h"
#include "common/StubBrowser.h"
#include "frame/FrameGame.h"
#include "render/RenderTestEnv.h"
#include "src/api/cef_context.h"
#include "src/api/process_message_wire.h"
#include "src/render/render_host.h"

using namespace rendertest;

namespace {

// The first answer includes the render process's start. Requests that must stay
// unanswered are followed by one that is answered: the pipe keeps order, so
// nothing came back for them when that answer is the next message.
const DWORD kAnswerMs = 15000;

std::string Page(const std::string& bodyHtml) {
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>t</title></head><body>" + bodyHtml +
           "</body></html>";
}

class UserNameExchange : public testing::Test {
protected:
    static void SetUpTestSuite() {
        PageServer* server = SharedServer();
        if (!server) return;
        server->Add("/login/xf.html", Page("<p>welcome <span id=\"login_user\">abc</span></p>"));
        server->Add("/cn/xf.html", Page("<span id=\"login_user\">\xe7\x8e\xa9\xe5\xae\xb6\xe4\xb8\x80\xe5\x8f\xb7"
                                        "</span>"));
        // innerText, not textContent: hidden text and markup whitespace do not count.
        server->Add("/rendered/xf.html",
                    Page("<div id=\"login_user\">\n   ab<b>c</b>\n  <span style=\"display:none\">zz</span>"
                         "<script>var x=1;</script></div>"));
        server->Add("/outer.html", Page("<span id=\"login_user\">outer</span>"
                                        "<iframe src=\"/inner/xf.html\"></iframe>"));
        server->Add("/inner/xf.html", Page("<span id=\"login_user\">inner</span>"));
        server->Add("/none/xf.html", Page("<p>no name here</p>"));
        server->Add("/second/xf.html", Page("<span id=\"login_user\">second</span>"));
        server->Add("/upper/XF.HTML", Page("<span id=\"login_user\">upper</span>"));
        // A page that replaces the DOM method the read goes through.
        server->Add("/tricky/xf.html",
                    Page("<span id=\"login_user\">real</span><script>document.getElementById="
                         "function(){var s=document.createElement('span');s.textContent='fake';return s;};"
                         "</script>"));
    }

    void SetUp() override {
        engine = SharedEngine();
        ASSERT_TRUE(engine) << "no headless engine";
        server = SharedServer();
        ASSERT_TRUE(engine->NewPage(&targetId, &sessionId));
    }
    void TearDown() override {
        host.reset();
        if (engine && !targetId.empty()) engine->ClosePage(targetId);
    }

    void Load(const std::string& path) { ASSERT_TRUE(engine->Navigate(sessionId, server->Url(path))); }
    void StartRenderer() {
        host = rendertest::StartRenderer(*engine, targetId, &inbox);
        ASSERT_TRUE(host);
    }
    bool Ask() { return host->Send(Message(L"velmar_msg", {L"getuser"})); }
    std::wstring NextAnswer(DWORD ms = kAnswerMs) { return Describe(inbox.Take(ms)); }
    static std::wstring Answer(const std::wstring& name) { return L"velmar_msg[\"getuser\",\"" + name + L"\"]"; }

    Engine* engine = nullptr;
    PageServer* server = nullptr;
    std::string targetId, sessionId;
    Inbox inbox;
    std::unique_ptr<cef_internal::RenderHost> host;
};

TEST_F(UserNameExchange, NameOnTheXfPageReachesTheBrowserSide) {
    Load("/login/xf.html");
    StartRenderer();
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t0);
    ASSERT_TRUE(Ask());
    EXPECT_EQ(NextAnswer(), Answer(L"abc"));
    QueryPerformanceCounter(&t1);
    printf("[ info ] first answer (render process start included): %.1f ms\n",
           (t1.QuadPart - t0.QuadPart) * 1000.0 / f.QuadPart);

    // The round trip once the render process runs.
    std::vector<double> ms;
    for (int i = 0; i < 30; ++i) {
        QueryPerformanceCounter(&t0);
        ASSERT_TRUE(Ask());
        ASSERT_EQ(NextAnswer(5000), Answer(L"abc"));
        QueryPerformanceCounter(&t1);
        ms.push_back((t1.QuadPart - t0.QuadPart) * 1000.0 / f.QuadPart);
    }
    std::sort(ms.begin(), ms.end());
    printf("[ info ] request-answer round trip over %zu: min %.1f ms, median %.1f ms, max %.1f ms\n", ms.size(),
           ms.front(), ms[ms.size() / 2], ms.back());
    EXPECT_LT(ms[ms.size() / 2], 250.0);
}

TEST_F(UserNameExchange, ChineseNameArrivesUnchanged) {
    Load("/cn/xf.html");
    StartRenderer();
    ASSERT_TRUE(Ask());
    EXPECT_EQ(NextAnswer(), Answer(L"\u73a9\u5bb6\u4e00\u53f7"));
}

TEST_F(UserNameExchange, TheTextIsTheRenderedText) {
    Load("/rendered/xf.html");
    nlohmann::json content;
    ASSERT_TRUE(engine->Evaluate(sessionId, "document.getElementById('login_user').textContent", &content));
    ASSERT_NE(content, "abc");  // the page does tell the two apart
    StartRenderer();
    ASSERT_TRUE(Ask());
    EXPECT_EQ(NextAnswer(), Answer(L"abc"));
}

TEST_F(UserNameExchange, PageScriptsCannotFakeTheRead) {
    Load("/tricky/xf.html");
    nlohmann::json seen;
    ASSERT_TRUE(engine->Evaluate(sessionId, "document.getElementById('login_user').textContent", &seen));
    ASSERT_EQ(seen, "fake");  // what a read in the page's own world would get
    StartRenderer();
    ASSERT_TRUE(Ask());
    EXPECT_EQ(NextAnswer(), Answer(L"real"));
}

TEST_F(UserNameExchange, InnerFrameLoadStillReadsTheMainDocument) {
    Load("/outer.html");
    // The inner frame is the one at the xf.html address; its own element says otherwise.
    nlohmann::json inner;
    ASSERT_TRUE(engine->Evaluate(sessionId, "document.querySelector('iframe').contentDocument.getElementById("
                                            "'login_user').textContent", &inner));
    ASSERT_EQ(inner, "inner");
    StartRenderer();
    ASSERT_TRUE(Ask());
    EXPECT_EQ(NextAnswer(), Answer(L"outer"));
}

TEST_F(UserNameExchange, EarlierNameIsSentAgainFromAPageWithoutTheElement) {
    Load("/none/xf.html");
    StartRenderer();
    ASSERT_TRUE(Ask());  // nothing read yet: no answer

    Load("/login/xf.html");
    ASSERT_TRUE(Ask());
    EXPECT_EQ(NextAnswer(), Answer(L"abc"));  // first and only answer so far

    Load("/none/xf.html");
    ASSERT_TRUE(Ask());
    EXPECT_EQ(NextAnswer(), Answer(L"abc"));

    Load("/second/xf.html");
    ASSERT_TRUE(Ask());
    EXPECT_EQ(NextAnswer(), Answer(L"second"));
    EXPECT_EQ(inbox.Pending(), 0u);
}

TEST_F(UserNameExchange, MalformedRequestsAreHandledWithoutAnswer) {
    Load("/login/xf.html");
    StartRenderer();
    ASSERT_TRUE(host->Send(Message(L"velmar_msg", {})));
    ASSERT_TRUE(host->Send(Message(L"velmar_msg", {L"GETUSER"})));
    ASSERT_TRUE(host->Send(Message(L"other_msg", {L"getuser"})));
    ASSERT_TRUE(host->Send(Message(L"velmar_msg", {L"getuser", L"x", L"y"})));  // still a request
    ASSERT_TRUE(Ask());
    EXPECT_EQ(NextAnswer(), Answer(L"abc"));
    EXPECT_EQ(NextAnswer(), Answer(L"abc"));
    EXPECT_EQ(inbox.Pending(), 0u);
}

TEST_F(UserNameExchange, RendererLeavesByItselfWhenTheBrowserGoes) {
    Load("/login/xf.html");
    StartRenderer();
    ASSERT_TRUE(Ask());
    ASSERT_EQ(NextAnswer(), Answer(L"abc"));

    HANDLE renderer = OpenProcess(SYNCHRONIZE, FALSE, host->ProcessId());
    ASSERT_TRUE(renderer);
    DWORD start = GetTickCount();
    host.reset();
    DWORD took = GetTickCount() - start;
    EXPECT_EQ(WaitForSingleObject(renderer, 0), WAIT_OBJECT_0);
    // Well inside the grace period after which the host would end it by force.
    EXPECT_LT(took, 1500u);
    CloseHandle(renderer);
}

// The pipe's name is on the render process's command line, readable by any process
// of this user once it starts. Whoever connects with it first, if not the process
// the browser side started, is turned away unheard and unanswered, and the real
// render process still gets through; once it has, nobody else can connect at all,
// nor make a second pipe of that name to catch it.
TEST_F(UserNameExchange, ASquatterOnThePipeGetsNothingAndTheNameStillArrives) {
    Load("/login/xf.html");
    StartRenderer();
    std::wstring name = host->PipeName();
    // At once, while the render process is still starting.
    HANDLE squatter = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
    bool squatted = squatter != INVALID_HANDLE_VALUE;
    printf("[ info ] the squatter %s the render process to the pipe\n", squatted ? "beat" : "lost to");
    if (squatted) {
        // What a fake render process would say: a name of its choosing, unasked.
        std::string forged = cef_internal::EncodeProcessMessage(Message(L"velmar_msg", {L"getuser", L"forged"}));
        OVERLAPPED ov = {};
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD n = 0;
        if (WriteFile(squatter, forged.data(), (DWORD)forged.size(), nullptr, &ov) ||
            GetLastError() == ERROR_IO_PENDING)
            GetOverlappedResult(squatter, &ov, &n, TRUE);
        // Nothing ever comes to it: its read ends with the pipe taken from it.
        char buf[64];
        ResetEvent(ov.hEvent);
        BOOL read = ReadFile(squatter, buf, sizeof(buf), nullptr, &ov);
        if (!read && GetLastError() == ERROR_IO_PENDING) {
            ASSERT_EQ(WaitForSingleObject(ov.hEvent, 5000), WAIT_OBJECT_0) << "the squatter was kept connected";
            read = GetOverlappedResult(squatter, &ov, &n, FALSE);
        }
        EXPECT_FALSE(read && n > 0) << "the squatter was sent something";
        CloseHandle(ov.hEvent);
        CloseHandle(squatter);
    }
    // The real render process answers, and the forged name never arrives.
    ASSERT_TRUE(Ask());
    EXPECT_EQ(NextAnswer(), Answer(L"abc"));
    EXPECT_EQ(inbox.Pending(), 0u);

    HANDLE second = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD error = GetLastError();
    EXPECT_EQ(second, INVALID_HANDLE_VALUE) << "a second client was let in";
    EXPECT_EQ(error, (DWORD)ERROR_PIPE_BUSY);
    if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
    HANDLE twin = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, PIPE_UNLIMITED_INSTANCES, 4096,
                                   4096, 0, nullptr);
    EXPECT_EQ(twin, INVALID_HANDLE_VALUE) << "a second pipe of the same name was made";
    if (twin != INVALID_HANDLE_VALUE) CloseHandle(twin);
    ASSERT_TRUE(Ask());
    EXPECT_EQ(NextAnswer(), Answer(L"abc"));

    // Nothing in the name to guess: 128 random bits, new for every pipe.
    const std::wstring prefix = L"\\\\.\\pipe\\vornmark.render.";
    ASSERT_EQ(name.compare(0, prefix.size(), prefix), 0) << CefString(name).ToString();
    EXPECT_EQ(name.size(), prefix.size() + 32);
    std::unique_ptr<cef_internal::RenderHost> other(rendertest::StartRenderer(*engine, targetId, &inbox, 2));
    ASSERT_TRUE(other);
    EXPECT_NE(other->PipeName(), name);
}

TEST_F(UserNameExchange, RendererLeavesWhenTheBrowserProcessDies) {
    Load("/login/xf.html");
    // A stand-in browser process: this executable, hosting one render process.
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &sa, 0));
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring cmd = L"\"" + std::wstring(self) + L"\" --render-host-child " + std::to_wstring(engine->port()) +
                       L" " + CefString(engine->browserPath()).ToWString() + L" " +
                       CefString(targetId).ToWString();
    std::vector<wchar_t> text(cmd.begin(), cmd.end());
    text.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    si.hStdInput = nullptr;
    PROCESS_INFORMATION pi = {};
    BOOL started = CreateProcessW(self, text.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(writeEnd);
    ASSERT_TRUE(started);

    std::string line;
    char c;
    DWORD got = 0;
    while (line.find('\n') == std::string::npos && ReadFile(readEnd, &c, 1, &got, nullptr) && got) line += c;
    CloseHandle(readEnd);
    DWORD rendererPid = 0;
    sscanf(line.c_str(), "PID %lu", &rendererPid);
    HANDLE renderer = rendererPid ? OpenProcess(SYNCHRONIZE, FALSE, rendererPid) : nullptr;
    EXPECT_TRUE(renderer) << "stand-in said: " << line;

    TerminateProcess(pi.hProcess, 1);
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    if (renderer) {
        EXPECT_EQ(WaitForSingleObject(renderer, 10000), WAIT_OBJECT_0) << "render process outlived its browser";
        CloseHandle(renderer);
    }
}

TEST_F(UserNameExchange, LaunchFilterRefusesAMarkedRenderer) {
    CefRefPtr<CefCommandLine> browserLine = cef_internal::GetBrowserCommandLine();
    ASSERT_TRUE(browserLine);
    ProcessLaunchFilter filter;
    filter.Install();
    // The renderer's command line carries the browser process's switches.
    for (const wchar_t* marker : {L"NOT SANDBOXED", L"not sandboxed"}) {
        browserLine->AppendSwitchWithValue(L"test-marker", marker);
        std::unique_ptr<cef_internal::RenderHost> refused(rendertest::StartRenderer(*engine, targetId, &inbox));
        EXPECT_FALSE(refused) << "started a renderer marked " << CefString(marker).ToString();
    }
    // Unmarked launches still pass the filter and work.
    browserLine->AppendSwitchWithValue(L"test-marker", L"sandboxed");
    Load("/login/xf.html");
    StartRenderer();
    ASSERT_TRUE(Ask());
    EXPECT_EQ(NextAnswer(), Answer(L"abc"));
    host.reset();
    filter.RemoveAll();
}

// The frame's side of the exchange, driven as the engine drives it: load ends on
// the engine UI thread, requests through the browser to this render process, and
// answers back into the frame's handler.
class BridgeBrowser : public testutil::StubBrowser {
public:
    cef_internal::RenderHost* host = nullptr;

    bool SendProcessMessage(CefProcessId target, CefRefPtr<CefProcessMessage> message) override {
        return target == PID_RENDERER && host && host->Send(message);
    }
};

// A loaded frame as the load handlers see it: its address.
using AddressFrame = testutil::StubFrame;

TEST_F(UserNameExchange, FrameAsksOnNamePagesAndStoresTheAnswer) {
    gameApp app;
    CFrameGame game;
    CefRefPtr<BridgeBrowser> browser = new BridgeBrowser();
    std::atomic<int> unhandled(0);
    host.reset(cef_internal::RenderHost::Start(
        1, engine->connection(), targetId, [&](CefRefPtr<CefProcessMessage> message) {
            if (!game.HandleProcessMessage(browser.get(), PID_RENDERER, message)) ++unhandled;
            inbox.Put(message);
        }));
    ASSERT_TRUE(host);
    browser->host = host.get();
    auto loadEnd = [&](const std::string& path, bool main) {
        CefRefPtr<CefFrame> frame = new AddressFrame(server->Url(path), main);
        cef_internal::RunUiTaskAndWait([&] { game.HandleLoadEnd(browser.get(), frame, 200); });
    };
    auto userName = [&] {
        wchar_t name[64];
        app.CopyUserName(name, 64);
        return std::wstring(name);
    };

    // The capitalised address asks nothing: the first answer is the next page's.
    Load("/upper/XF.HTML");
    loadEnd("/upper/XF.HTML", true);
    Load("/login/xf.html");
    loadEnd("/login/xf.html", true);
    EXPECT_EQ(NextAnswer(), Answer(L"abc"));
    EXPECT_EQ(userName(), L"abc");

    // An inner frame's load asks too, and the main document answers.
    Load("/outer.html");
    loadEnd("/inner/xf.html", false);
    EXPECT_EQ(NextAnswer(), Answer(L"outer"));
    EXPECT_EQ(userName(), L"outer");

    Load("/cn/xf.html");
    loadEnd("/cn/xf.html", true);
    EXPECT_EQ(NextAnswer(), Answer(L"\u73a9\u5bb6\u4e00\u53f7"));
    EXPECT_EQ(userName(), L"\u73a9\u5bb6\u4e00\u53f7");
    char expectedAnsi[64] = {0}, ansi[64] = {0};
    WideCharToMultiByte(CP_ACP, 0, L"\u73a9\u5bb6\u4e00\u53f7", -1, expectedAnsi, 64, nullptr, nullptr);
    app.CopyUserNameAnsi(ansi, 64);
    EXPECT_STREQ(ansi, expectedAnsi);
    EXPECT_EQ(unhandled, 0);

    // An answer of another shape is taken as handled and changes nothing.
    bool handled = false;
    cef_internal::RunUiTaskAndWait([&] {
        handled = game.HandleProcessMessage(browser.get(), PID_RENDERER,
                                            Message(L"velmar_msg", {L"getuser", L"x", L"y"}));
    });
    EXPECT_TRUE(handled);
    EXPECT_EQ(userName(), L"\u73a9\u5bb6\u4e00\u53f7");

    // Nothing of the frame's may be reached once it is gone.
    host.reset();
    EXPECT_EQ(inbox.Pending(), 0u);
}

}  // namespace
