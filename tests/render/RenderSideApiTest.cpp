// The render side's browser, frame and document objects beyond the user-name
// read: the render process is run on a thread of this test, fed through a pipe of
// the test's own, and a handler of the test probes a live page when asked.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>
#include <functional>
#include <sstream>
#include "browser/DOMVisitor.h"
#include "include/cef_app.h"
#include "render/RenderTestEnv.h"
#include "src/api/cef_context.h"
#include "src/api/process_message_wire.h"
#include "src/render/render_host.h"
#include "src/render/render_process.h"
#include "src/render/render_switches.h"

using namespace rendertest;

namespace {

// Runs `probe` on the render thread for every message; records what it saw.
class ProbeApp : public CefApp, public CefRenderProcessHandler {
public:
    std::function<void(CefRefPtr<CefBrowser>)> probe;
    int created = 0, destroyed = 0;

    CefRefPtr<CefRenderProcessHandler> GetRenderProcessHandler() override { return this; }
    void OnBrowserCreated(CefRefPtr<CefBrowser>) override { ++created; }
    void OnBrowserDestroyed(CefRefPtr<CefBrowser>) override { ++destroyed; }
    bool OnProcessMessageReceived(CefRefPtr<CefBrowser> browser, CefProcessId source,
                                  CefRefPtr<CefProcessMessage> message) override {
        if (source == PID_BROWSER && message->GetName() == CefString(L"probe") && probe) probe(browser);
        return true;
    }
    IMPLEMENT_REFCOUNTING(ProbeApp);
};

struct RenderThread {
    CefRefPtr<ProbeApp> app;
    CefRefPtr<CefCommandLine> commandLine;
    int exitCode = -1;
    static DWORD WINAPI Main(LPVOID p) {
        RenderThread* t = static_cast<RenderThread*>(p);
        t->exitCode = cef_internal::RunRenderProcess(CefMainArgs(GetModuleHandleW(nullptr)), t->app, t->commandLine);
        return 0;
    }
};

TEST(RenderSideApi, BrowserFramesAndDocumentOfALivePage) {
    Engine* engine = SharedEngine();
    ASSERT_TRUE(engine) << "no headless engine";
    PageServer* server = SharedServer();
    server->Add("/api.html",
                "<!DOCTYPE html><html><head><title>API page</title></head><body>"
                "<div id=\"box\" class=\"c1\" data-x=\"1\">Box <i>text</i></div>"
                "<input id=\"field\" value=\"v1\"><!-- note -->"
                "<iframe name=\"kid\" src=\"/kid.html\"></iframe></body></html>");
    server->Add("/kid.html", "<!DOCTYPE html><html><body><p id=\"k\">kid text</p></body></html>");
    std::string targetId, sessionId;
    ASSERT_TRUE(engine->NewPage(&targetId, &sessionId));
    ASSERT_TRUE(engine->Navigate(sessionId, server->Url("/api.html")));

    // The browser end is the layer's own, on a pipe of the test whose client is this process.
    std::wstring pipeName = cef_internal::NewRenderPipeName();
    HANDLE pipe = CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    Inbox inbox;
    std::unique_ptr<cef_internal::RenderHost> host(cef_internal::RenderHost::Serve(
        pipe, GetCurrentProcessId(), engine->connection(), targetId,
        [&inbox](CefRefPtr<CefProcessMessage> message) { inbox.Put(message); }));
    ASSERT_TRUE(host);

    RenderThread render;
    render.app = new ProbeApp();
    render.commandLine = CefCommandLine::CreateCommandLine();
    render.commandLine->AppendSwitchWithValue(L"type", L"renderer");
    render.commandLine->AppendSwitchWithValue(cef_internal::kRendererPipeSwitch, pipeName);
    render.commandLine->AppendSwitchWithValue(cef_internal::kRendererTargetSwitch, CefString(targetId));
    render.commandLine->AppendSwitchWithValue(cef_internal::kRendererBrowserIdSwitch, L"5");
    render.commandLine->AppendSwitchWithValue(cef_internal::kRendererParentSwitch,
                                              std::to_wstring(GetCurrentProcessId()));

    // Everything the probe sees, as "what=value" lines, checked on this thread.
    std::ostringstream seen;
    std::string pageUrl = server->Url("/api.html");
    CefRefPtr<CefDOMNode> kept;
    render.app->probe = [&](CefRefPtr<CefBrowser> browser) {
        auto line = [&](const char* what, const std::string& value) { seen << what << "=" << value << "\n"; };
        auto flag = [&](const char* what, bool value) { line(what, value ? "yes" : "no"); };
        line("id", std::to_string(browser->GetIdentifier()));
        flag("host", browser->GetHost() != nullptr);
        CefRefPtr<CefFrame> main = browser->GetMainFrame();
        if (!main) return;
        flag("main.isMain", main->IsMain());
        flag("main.url", main->GetURL().ToString() == pageUrl);
        line("frames", std::to_string(browser->GetFrameCount()));
        CefRefPtr<CefFrame> kid = browser->GetFrame(CefString(L"kid"));
        if (kid) {
            flag("kid.isMain", kid->IsMain());
            flag("kid.url", kid->GetURL().ToString() == server->Url("/kid.html"));
            flag("kid.parentIsMain", kid->GetParent() && kid->GetParent()->IsMain());
            CefRefPtr<CefFrame> again = browser->GetFrame(kid->GetIdentifier());
            flag("kid.byId", again && again->GetName().ToString() == "kid");
            kid->VisitDOM(new CDOMVisitor([&](CefRefPtr<CefDOMDocument> d) {
                CefRefPtr<CefDOMNode> k = d->GetElementById(L"k");
                line("kid.text", k ? k->GetElementInnerText().ToString() : "<none>");
            }));
            // Runs in the inner frame's own world: it reaches its parent as page script does.
            kid->ExecuteJavaScript(L"parent.document.title = 'changed by kid'", L"", 0);
        }
        main->VisitDOM(new CDOMVisitor([&](CefRefPtr<CefDOMDocument> d) {
            line("title", d->GetTitle().ToString());
            flag("html", d->GetType() == DOM_DOCUMENT_TYPE_HTML);
            CefRefPtr<CefDOMNode> box = d->GetElementById(L"box");
            if (!box) return;
            line("box.tag", box->GetElementTagName().ToString());
            line("box.text", box->GetElementInnerText().ToString());
            line("box.data-x", box->GetElementAttribute(L"data-x").ToString());
            flag("box.hasClass", box->HasElementAttribute(L"class"));
            flag("box.hasNope", box->HasElementAttribute(L"nope"));
            flag("box.element", box->IsElement());
            flag("box.parentIsBody", box->GetParent() && box->GetParent()->IsSame(d->GetBody()));
            flag("box.notField", !box->IsSame(d->GetElementById(L"field")));
            CefRefPtr<CefDOMNode> field = d->GetElementById(L"field");
            flag("field.control", field && field->IsFormControlElement());
            flag("field.editable", field && field->IsEditable());
            line("field.value", field ? field->GetValue().ToString() : "<none>");
            flag("none", d->GetElementById(L"missing") == nullptr);
            line("complete", d->GetCompleteURL(L"x/y.html").ToString());
            kept = box;
        }));
        line("kept.after", kept ? kept->GetElementTagName().ToString() : "<none>");
        flag("toRenderer", browser->SendProcessMessage(PID_RENDERER, Message(L"x", {})));
        flag("toBrowser", browser->SendProcessMessage(PID_BROWSER, Message(L"probed", {L"ok"})));
    };

    HANDLE thread = CreateThread(nullptr, 0, RenderThread::Main, &render, 0, nullptr);
    ASSERT_TRUE(thread);
    ASSERT_TRUE(host->Send(Message(L"probe", {})));
    EXPECT_EQ(Describe(inbox.Take(15000)), L"probed[\"ok\"]");
    host.reset();  // the browser goes: the render side returns
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(render.exitCode, 0);
    EXPECT_EQ(render.app->created, 1);
    EXPECT_EQ(render.app->destroyed, 1);

    const std::string expected =
        "id=5\nhost=no\nmain.isMain=yes\nmain.url=yes\nframes=2\n"
        "kid.isMain=no\nkid.url=yes\nkid.parentIsMain=yes\nkid.byId=yes\nkid.text=kid text\n"
        "title=changed by kid\nhtml=yes\nbox.tag=DIV\nbox.text=Box text\nbox.data-x=1\n"
        "box.hasClass=yes\nbox.hasNope=no\nbox.element=yes\nbox.parentIsBody=yes\nbox.notField=yes\n"
        "field.control=yes\nfield.editable=yes\nfield.value=v1\nnone=yes\ncomplete=" +
        server->Url("/x/y.html") +
        "\n"
        // A node kept past its visit answers nothing.
        "kept.after=\ntoRenderer=no\ntoBrowser=yes\n";
    EXPECT_EQ(seen.str(), expected);
    engine->ClosePage(targetId);
}

// A render side given a pipe whose server is not its parent (a pipe somebody made
// under the expected name) says nothing on it and never starts its browser.
TEST(RenderSideApi, TheRenderSideTalksOnlyToItsParentsPipe) {
    // Any other live process stands for the parent.
    DWORD other = 0;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    ASSERT_NE(snap, INVALID_HANDLE_VALUE);
    PROCESSENTRY32W pe = {sizeof(pe)};
    for (BOOL ok = Process32FirstW(snap, &pe); ok && !other; ok = Process32NextW(snap, &pe)) {
        if (pe.th32ProcessID == GetCurrentProcessId() || pe.th32ProcessID == 0) continue;
        HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pe.th32ProcessID);
        if (h && WaitForSingleObject(h, 0) == WAIT_TIMEOUT) other = pe.th32ProcessID;
        if (h) CloseHandle(h);
    }
    CloseHandle(snap);
    ASSERT_NE(other, 0u) << "no other process to name as the parent";

    std::wstring pipeName = cef_internal::NewRenderPipeName();
    HANDLE pipe = CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    RenderThread render;
    render.app = new ProbeApp();
    render.commandLine = CefCommandLine::CreateCommandLine();
    render.commandLine->AppendSwitchWithValue(L"type", L"renderer");
    render.commandLine->AppendSwitchWithValue(cef_internal::kRendererPipeSwitch, pipeName);
    render.commandLine->AppendSwitchWithValue(cef_internal::kRendererTargetSwitch, L"0123456789ABCDEF");
    render.commandLine->AppendSwitchWithValue(cef_internal::kRendererBrowserIdSwitch, L"5");
    render.commandLine->AppendSwitchWithValue(cef_internal::kRendererParentSwitch, std::to_wstring(other));
    HANDLE thread = CreateThread(nullptr, 0, RenderThread::Main, &render, 0, nullptr);
    ASSERT_TRUE(thread);
    EXPECT_EQ(WaitForSingleObject(thread, 15000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(render.exitCode, 0);
    EXPECT_EQ(render.app->created, 0);
    // It may have connected to look at the pipe's server, but wrote nothing.
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    char buf[16];
    DWORD got = 0;
    BOOL read = ReadFile(pipe, buf, sizeof(buf), nullptr, &ov);
    if (!read && GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ov.hEvent, 500) != WAIT_OBJECT_0) CancelIoEx(pipe, &ov);
        read = GetOverlappedResult(pipe, &ov, &got, TRUE);
    }
    EXPECT_FALSE(read && got > 0);
    CloseHandle(ov.hEvent);
    CloseHandle(pipe);
}

}  // namespace
