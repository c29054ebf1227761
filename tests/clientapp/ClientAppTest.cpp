// The application object: its four switches in the browser process and in a
// sub-process, and process messages handed to the bound callback unfiltered.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>
#include "browser/ClientApp.h"
#include "common/TestUtil.h"
#include "src/api/cef_context.h"

using namespace testutil;

namespace {

const std::vector<std::wstring> kSwitchArgs = {L"--lang=zh_cn", L"--ppapi-flash-path=pepflashplayer32_25_0_0_127.dll",
                                               L"--ppapi-flash-version=25.0.0.127", L"--disable-web-security"};

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

// The four switches with their exact values, the last one without a value.
::testing::AssertionResult HasProgramSwitches(CefRefPtr<CefCommandLine> line) {
    if (!line) return ::testing::AssertionFailure() << "no command line";
    std::string text = Narrow(line->GetCommandLineString().ToWString());
    struct {
        const char* name;
        const wchar_t* value;
    } expected[] = {{"lang", L"zh_cn"},
                    {"ppapi-flash-path", L"pepflashplayer32_25_0_0_127.dll"},
                    {"ppapi-flash-version", L"25.0.0.127"},
                    {"disable-web-security", L""}};
    for (auto& e : expected) {
        if (!line->HasSwitch(e.name)) return ::testing::AssertionFailure() << "no " << e.name << " in " << text;
        std::wstring value = line->GetSwitchValue(e.name).ToWString();
        if (value != e.value)
            return ::testing::AssertionFailure() << e.name << "=" << Narrow(value) << " in " << text;
    }
    CefCommandLine::SwitchMap all;
    line->GetSwitches(all);
    if (all.count(L"--disable-web-security"))
        return ::testing::AssertionFailure() << "the switch kept its dashes in its name: " << text;
    return ::testing::AssertionSuccess();
}

std::vector<std::wstring> Argv(CefRefPtr<CefCommandLine> line) {
    std::vector<CefString> argv;
    line->GetArgv(argv);
    std::vector<std::wstring> out;
    for (auto& a : argv) out.push_back(a.ToWString());
    return out;
}

class FakeMessageTarget {
public:
    bool Handle(CefRefPtr<CefBrowser> browser, CefProcessId source, CefRefPtr<CefProcessMessage> message) {
        ++calls;
        lastBrowser = browser.get();
        lastSource = source;
        lastMessage = message.get();
        return answer;
    }
    int calls = 0;
    CefBrowser* lastBrowser = reinterpret_cast<CefBrowser*>(1);
    CefProcessId lastSource = PID_RENDERER;
    CefProcessMessage* lastMessage = nullptr;
    bool answer = true;
};

}  // namespace

TEST(ClientApp, AppendsTheFourSwitchesInOrderWhateverTheProcessType) {
    CefRefPtr<ClientApp> app = new ClientApp();
    for (const wchar_t* type : {L"", L"renderer", L"gpu-process", L"ppapi"}) {
        CefRefPtr<CefCommandLine> line = CefCommandLine::CreateCommandLine();
        line->SetProgram(L"C:\\game\\vornmark.exe");
        app->OnBeforeCommandLineProcessing(CefString(type), line);
        std::vector<std::wstring> argv = Argv(line);
        std::vector<std::wstring> expected = {L"C:\\game\\vornmark.exe"};
        expected.insert(expected.end(), kSwitchArgs.begin(), kSwitchArgs.end());
        EXPECT_EQ(expected, argv) << "process type \"" << Narrow(type) << "\"";
        EXPECT_TRUE(HasProgramSwitches(line));
    }
}

TEST(ClientApp, BrowserProcessCommandLineCarriesTheSwitches) {
    TempDir cache;
    CefRefPtr<ClientApp> app = new ClientApp();
    CefSettings settings;
    settings.no_sandbox = 1;
    settings.multi_threaded_message_loop = 1;
    settings.command_line_args_disabled = 1;
    CefString(&settings.cache_path) = cache.file(L"vorn");
    ASSERT_TRUE(CefInitialize(CefMainArgs(GetModuleHandleW(nullptr)), settings, app.get(), nullptr));
    CefRefPtr<CefCommandLine> line = cef_internal::GetBrowserCommandLine();
    EXPECT_TRUE(HasProgramSwitches(line));
    EXPECT_EQ(static_cast<CefApp*>(app.get()), cef_internal::GetApp().get());
    line = nullptr;
    CefShutdown();
}

TEST(ClientApp, SubProcessesAddTheSwitchesToTheirOwnCommandLine) {
    // This executable started as an engine sub-process (see Main.cpp) runs
    // CefExecuteProcess with the application object and records the line.
    TempDir dir;
    for (const wchar_t* type : {L"renderer", L"gpu-process"}) {
        std::wstring probe = dir.file(std::wstring(L"probe-") + type + L".txt");
        Child child;
        ASSERT_TRUE(child.Start(ModuleDir() + L"\\test_clientapp.exe",
                                std::wstring(L"--type=") + type + L" --probe-file=\"" + probe + L"\""));
        DWORD code = 0;
        ASSERT_TRUE(child.Wait(30000, &code)) << "the sub-process did not end";
        EXPECT_EQ(40u, code) << "CefExecuteProcess returns 0 for a finished sub-process";
        std::string text = ReadTextFile(probe);
        size_t nl = text.find('\n');
        ASSERT_NE(std::string::npos, nl) << "OnBeforeCommandLineProcessing was not called for " << Narrow(type);
        EXPECT_EQ(Narrow(type), text.substr(0, nl));
        std::string lineText = text.substr(nl + 1);
        while (!lineText.empty() && (lineText.back() == '\n' || lineText.back() == '\r')) lineText.pop_back();
        CefRefPtr<CefCommandLine> line = CefCommandLine::CreateCommandLine();
        line->InitFromString(CefString(lineText));
        EXPECT_TRUE(HasProgramSwitches(line)) << lineText;
        EXPECT_EQ(std::wstring(type), line->GetSwitchValue("type").ToWString());
    }
}

TEST(ClientApp, ProcessMessagesGoToTheBoundCallbackUnfiltered) {
    CefRefPtr<ClientApp> app = new ClientApp();
    CefRefPtr<CefRenderProcessHandler> handler = app->GetRenderProcessHandler();
    ASSERT_TRUE(handler.get());

    // Nothing bound: not handled, whatever arrives.
    CefRefPtr<CefProcessMessage> named = CefProcessMessage::Create("velmar_msg");
    named->GetArgumentList()->SetString(0, "getuser");
    EXPECT_FALSE(handler->OnProcessMessageReceived(nullptr, PID_BROWSER, named));
    EXPECT_FALSE(handler->OnProcessMessageReceived(nullptr, PID_RENDERER, CefProcessMessage::Create("x")));

    FakeMessageTarget target;
    using namespace std::placeholders;
    app->processMessageCallback = std::bind(&FakeMessageTarget::Handle, &target, _1, _2, _3);
    struct {
        const char* name;
        CefProcessId source;
        bool answer;
    } cases[] = {{"velmar_msg", PID_BROWSER, true}, {"something else", PID_RENDERER, false}, {"", PID_BROWSER, false}};
    int n = 0;
    for (auto& c : cases) {
        CefRefPtr<CefProcessMessage> message = CefProcessMessage::Create(c.name);
        target.answer = c.answer;
        EXPECT_EQ(c.answer, handler->OnProcessMessageReceived(nullptr, c.source, message)) << c.name;
        EXPECT_EQ(++n, target.calls);
        EXPECT_EQ(message.get(), target.lastMessage) << "the message itself is passed on";
        EXPECT_EQ(c.source, target.lastSource);
        EXPECT_EQ(nullptr, target.lastBrowser);
    }
}

TEST(ClientApp, IsItsOwnHandlerForBothProcessKindsAndCountsItsReferences) {
    static int destroyed = 0;
    struct Watched : ClientApp {
        ~Watched() override { ++destroyed; }
    };
    Watched* raw = new Watched();
    EXPECT_EQ(0, raw->GetRefCt());
    {
        CefRefPtr<CefApp> app = raw;
        EXPECT_EQ(1, raw->GetRefCt());
        CefRefPtr<CefBrowserProcessHandler> browserSide = app->GetBrowserProcessHandler();
        CefRefPtr<CefRenderProcessHandler> renderSide = app->GetRenderProcessHandler();
        EXPECT_EQ(static_cast<CefBrowserProcessHandler*>(raw), browserSide.get());
        EXPECT_EQ(static_cast<CefRenderProcessHandler*>(raw), renderSide.get());
        EXPECT_EQ(3, raw->GetRefCt());
    }
    EXPECT_EQ(1, destroyed) << "released with its last reference";
}
