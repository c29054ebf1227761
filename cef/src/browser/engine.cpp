// The engine behind the browser layer, seen from its DevTools connection: starting
// and stopping it (the process itself is EngineProcess's), and the routing of its
// events, targets, sessions and screencast frames to our browsers. What pages open
// beside themselves (popups, inner frames, held requests) is engine_opened.cpp's;
// its recovery after a death, and the cookies kept for it, engine_recovery.cpp's.
#include "src/browser/engine.h"

#include <gdiplus.h>
#include <algorithm>
#include "base/Diagnostics.h"
#include "src/browser/browser_impl.h"
#include "src/api/cef_context.h"
#include "src/flash/flash_emulator.h"
#include "src/view/embed_view.h"
#include "src/view/frame_sink.h"
#include "src/view/page_script.h"
#include "src/browser/page_sound.h"

using nlohmann::json;

namespace cef_internal {
namespace {

const DWORD kPoliteExitMs = 1000;  // Browser.close to the end of the engine's browser process

Engine* g_engine = nullptr;  // UI thread
unsigned g_generation = 0;   // UI thread; tells tasks of an engine that has gone
ULONG_PTR g_gdiplusToken = 0;

// The connection and the engine facts, read by other threads.
std::mutex g_shareLock;
std::shared_ptr<DevToolsConnection> g_connection;
EngineInfo g_info;

}  // namespace

EngineInfo GetEngineInfo() {
    std::lock_guard<std::mutex> guard(g_shareLock);
    return g_info;
}

std::shared_ptr<DevToolsConnection> EngineConnection() {
    std::lock_guard<std::mutex> guard(g_shareLock);
    return g_connection;
}

int EngineSend(const std::string& method, const json& params, const std::string& sessionId) {
    std::shared_ptr<DevToolsConnection> connection = EngineConnection();
    return connection ? connection->Send(method, params, sessionId) : 0;
}

Engine* Engine::Current() {
    CEF_REQUIRE_UI_THREAD();
    return g_engine;
}

// ---- start and stop ------------------------------------------------------------

bool Engine::Start() {
    CEF_REQUIRE_UI_THREAD();
    std::wstring exe = FindEngineExecutable();
    if (exe.empty()) {
        wchar_t chosen[MAX_PATH] = {0};
        GetEnvironmentVariableW(L"VORNMARK_ENGINE", chosen, MAX_PATH);
        base::DiagFailure(L"engine", L"no engine executable found (VORNMARK_ENGINE=\"%ls\")", chosen);
        return false;
    }
    base::StartupStep(L"engine being started");
    DWORD t0 = GetTickCount();
    FlashEmulator::Start();  // before the launch: the engine is told about its server
    base::StartupStep(L"Flash file server started");
    CefRefPtr<CefCommandLine> appLine = GetBrowserCommandLine();
    grants_ = CrossOriginGrants(appLine ? appLine->GetSwitchValue(L"own-hosts").ToString() : std::string());
    auto connection = std::make_shared<DevToolsConnection>();
    unsigned gen = generation_;
    connection->SetEventHandler([this](const std::string& m, const json& p, const std::string& s) {
        OnReaderEvent(m, p, s);
    });
    connection->SetCloseHandler([gen] {
        PostUiTask([gen] {
            if (g_engine && g_generation == gen) g_engine->OnEngineGone();
        });
    });
    {
        std::lock_guard<std::mutex> guard(g_shareLock);
        g_info.processId = 0;
    }
    // The channel's reader delivers into the connection; the channel ends (and its
    // reader is joined) before the connection is let go, see DropEngine.
    DevToolsConnection* raw = connection.get();
    EngineChannel::Handlers handlers;
    handlers.onDevTools = [raw](const char* text, size_t size) { raw->Receive(text, size); };
    // The end of the browser process counts at once, before its group is gone.
    handlers.onEngineExited = [raw](int) { raw->CarrierClosed(); };
    handlers.onClosed = [raw] { raw->CarrierClosed(); };
    handlers.onStarted = [](DWORD pid) {
        base::StartupStep(L"engine running");
        std::lock_guard<std::mutex> guard(g_shareLock);
        g_info.processId = pid;
    };
    handlers.onWindowEvent = [gen](const char* text, size_t size) {
        json event = json::parse(text, text + size, nullptr, false);
        if (!event.is_object()) return;
        // Answered here: the UI thread may be the one waiting for it.
        if (EmbedView::OnAcknowledgement(event)) return;
        PostUiTask([gen, event] {
            if (g_engine && g_generation == gen) g_engine->OnWindowEvent(event);
        });
    };
    EngineProcess::Choices choices;
    const bool linuxEngine = IsLinuxEngine(exe);
    choices.windowed = EmbeddingPossible(linuxEngine);
    choices.extraArgs = FlashEmulator::EngineArguments();
    if (choices.windowed) {
        // The first page's window opens while the engine starts, so the first page
        // need not wait for the running engine to be asked for one.
        firstViewToken_ = EmbedView::MakeToken("first", gen);
        choices.firstWindow = EmbedView::Placeholder(firstViewToken_);
    }
    if (!process_.Launch(exe, choices, std::move(handlers)) || !connection->Attach(process_.Channel())) {
        connection->Detach();
        process_.End(0);
        FlashEmulator::Stop();
        launchFailed_ = true;
        return false;
    }
    launchFailed_ = false;
    base::StartupStep(L"engine host launched");
    connection_ = connection;
    connected_ = true;
    viewMode_ = process_.EmbedAsked() ? kViewUnknown : kViewScreencast;
    // Nothing here waits for the engine: commands wait in its pipe until it reads
    // them, and their answers come in the order they were sent, so the user agent
    // is known before any page of ours is attached.
    connection_->SendAsync("Browser.getVersion", json::object(), [gen, t0](bool ok, const json& version) {
        // Pages present themselves as the ordinary browser, not as a headless one.
        base::StartupStep(L"engine answered");
        std::string agent = ok ? JsonString(version, "userAgent") : std::string();
        size_t at = agent.find("HeadlessChrome");
        if (at != std::string::npos) agent.replace(at, 14, "Chrome");
        {
            std::lock_guard<std::mutex> guard(g_shareLock);
            g_info.startMs = GetTickCount() - t0;
        }
        PostUiTask([gen, agent] {
            if (g_engine && g_generation == gen) g_engine->userAgent_ = agent;
        });
    });
    // Every new page, ours and the popups of pages, waits for us before its first request.
    connection_->Send("Target.setAutoAttach",
                      {{"autoAttach", true}, {"waitForDebuggerOnStart", true}, {"flatten", true}});
    // A paused popup can still send its first request once let go, before anything
    // enabled on its own session takes hold; held here for the whole browser, none can.
    // The answers a page may be let read across origins are held here too.
    json patterns = grants_.Patterns();
    patterns.insert(patterns.begin(), json{{"urlPattern", "*"}, {"resourceType", "Document"}});
    connection_->Send("Fetch.enable", {{"patterns", patterns}});
    RestoreCookies();
    {
        std::lock_guard<std::mutex> guard(g_shareLock);
        g_connection = connection_;
        g_info.running = true;
        g_info.linuxProcess = process_.IsLinux();
        ++g_info.starts;
    }
    // Whether Wine can keep its drawing off the engine's windows is tried while the
    // engine starts rather than before its launch, which it would hold up by as long.
    // Where it cannot (a Wine without GL), the engine launched for windows is started
    // again headless.
    if (choices.windowed && !EmbeddingWanted(linuxEngine)) {
        DropEngine(kForcedExitMs);
        return Start();
    }
    return true;
}

void Engine::DropEngine(DWORD waitMs) {
    connected_ = false;
    {
        std::lock_guard<std::mutex> guard(g_shareLock);
        g_connection.reset();
        g_info.running = false;
    }
    if (connection_) {
        connection_->Close();
        connection_->Detach();
    }
    process_.End(waitMs);
    connection_.reset();
    pendingTargets_.clear();
    unclaimed_.clear();
    pendingViews_.clear();
    firstViewToken_.clear();
    awaitingMode_.clear();
    cookiesAsked_ = false;
    {
        std::lock_guard<std::mutex> guard(cancelLock_);
        cancelled_.clear();
    }
    {
        std::lock_guard<std::mutex> guard(frameLock_);
        frameParents_.clear();
    }
    {
        std::lock_guard<std::mutex> guard(sinkLock_);
        sinks_.clear();
    }
    // Tasks still queued for the engine that has gone are dropped.
    generation_ = ++g_generation;
}

void Engine::Stop() {
    CEF_REQUIRE_UI_THREAD();
    // Browsers first: their windows go and their clients hear OnBeforeClose.
    std::vector<CefRefPtr<BrowserImpl>> browsers = browsers_;
    for (auto& b : browsers) b->Destroy();
    browsers_.clear();
    pendingTargets_.clear();
    if (connection_ && connected_) {
        // Asked politely the engine ends its whole process tree itself, its profile
        // written; one that does not answer (frozen, flooding, a page that never
        // yields) is ended by force soon after.
        connection_->Send("Browser.close", json::object());
        connection_->Close();  // its end is ours now, not a death to recover from
        if (EngineChannel* channel = process_.Channel()) channel->WaitForEngineExit(kPoliteExitMs);
    }
    DropEngine(kForcedExitMs);
    FlashEmulator::Stop();
    process_.RemoveTempProfile();
}

bool Engine::SendWindowCommand(const std::string& json) {
    EngineChannel* channel = process_.Channel();
    return connected_ && channel && channel->SendWindowCommand(json);
}

void Engine::OnWindowEvent(const json& event) {
    if (event.contains("embed")) {
        // The host's first word: the pages asked for meanwhile are made now.
        base::StartupStep(L"display mode known");
        viewMode_ = JsonBool(event, "embed") ? kViewEmbedded : kViewScreencast;
        EmbedView::SetHostKeys(JsonBool(event, "keys"));
        std::vector<std::pair<CefRefPtr<BrowserImpl>, std::string>> waiting;
        waiting.swap(awaitingMode_);
        for (auto& w : waiting)
            if (!w.first->Closed()) CreatePageTarget(w.first.get(), w.second);
        return;
    }
    int number = 0;
    for (const char* key : {"window", "gone", "pressed", "focused", "key"})
        if (event.contains(key)) number = JsonInt(event, key);
    for (auto& b : browsers_) {
        if (b->GetIdentifier() != number) continue;
        CefRefPtr<BrowserImpl> keep(b);
        b->OnViewEvent(event);
        return;
    }
}

// ---- events ----------------------------------------------------------------------

void Engine::OnReaderEvent(const std::string& method, const json& params, const std::string& sessionId) {
    if (method == "Fetch.requestPaused" && sessionId.empty()) {
        OnRequestPaused(params);
        return;
    }
    if (method == "Target.attachedToTarget" && !sessionId.empty()) {
        OnInnerFrameAttached(params, sessionId);
        return;
    }
    if (method == "Target.detachedFromTarget" && !sessionId.empty()) {
        std::lock_guard<std::mutex> guard(frameLock_);
        frameParents_.erase(JsonString(params, "sessionId"));
        return;
    }
    if (method == "Page.screencastFrame") {
        // Acknowledged at once so the engine keeps sending; decoding happens elsewhere.
        connection_->Send("Page.screencastFrameAck", {{"sessionId", JsonInt(params, "sessionId")}}, sessionId);
        std::shared_ptr<FrameSink> sink;
        {
            std::lock_guard<std::mutex> guard(sinkLock_);
            auto it = sinks_.find(sessionId);
            if (it != sinks_.end()) sink = it->second;
        }
        const json& data = JsonObject(params, "data");
        if (sink && data.is_string()) sink->Push(data.get<std::string>());
        return;
    }
    // Only what somebody listens to goes on to the UI thread: a page loading large
    // resources sends thousands of network events nobody needs.
    static const std::set<std::string> kHandled = [] {
        std::set<std::string> names;
        for (const auto& e : TargetEvents()) names.insert(e.first);
        for (const auto& e : BrowserImpl::SessionEvents()) names.insert(e.first);
        return names;
    }();
    if (!kHandled.count(method)) return;
    if (method == "Network.requestWillBeSent" || method == "Network.responseReceived") {
        if (JsonString(params, "type") != "Document") return;
    }
    if (method == "Runtime.bindingCalled") {
        // Dropped here already, before the copy that takes it to the UI thread.
        const json& payload = JsonObject(params, "payload");
        if (payload.is_string() && payload.get_ref<const std::string&>().size() > kMaxBindingPayload) return;
    }
    unsigned gen = generation_;
    PostUiTask([gen, method, params, sessionId] {
        if (g_engine && g_generation == gen) g_engine->Dispatch(method, params, sessionId);
    });
}

void Engine::RegisterSink(const std::string& sessionId, std::shared_ptr<FrameSink> sink) {
    std::lock_guard<std::mutex> guard(sinkLock_);
    sinks_[sessionId] = sink;
}

void Engine::UnregisterSink(const std::string& sessionId) {
    std::lock_guard<std::mutex> guard(sinkLock_);
    sinks_.erase(sessionId);
}

BrowserImpl* Engine::FindBySession(const std::string& sessionId) {
    for (auto& b : browsers_)
        if (b->SessionId() == sessionId) return b.get();
    return nullptr;
}

BrowserImpl* Engine::FindByTarget(const std::string& targetId) {
    for (auto& b : browsers_)
        if (b->TargetId() == targetId) return b.get();
    return nullptr;
}

const std::map<std::string, Engine::TargetHandler>& Engine::TargetEvents() {
    static const std::map<std::string, TargetHandler> kEvents = {
        {"Target.attachedToTarget", &Engine::OnAttached},
        {"Target.detachedFromTarget", &Engine::OnDetached},
    };
    return kEvents;
}

void Engine::Dispatch(const std::string& method, const json& params, const std::string& sessionId) {
    CEF_REQUIRE_UI_THREAD();
    if (sessionId.empty()) {
        auto it = TargetEvents().find(method);
        if (it != TargetEvents().end()) (this->*it->second)(params);
        return;
    }
    if (BrowserImpl* b = FindBySession(sessionId)) {
        CefRefPtr<BrowserImpl> keep(b);
        b->OnSessionEvent(method, params);
    }
}

void Engine::OnAttached(const json& params) {
    std::string sessionId = JsonString(params, "sessionId");
    const json& info = JsonObject(params, "targetInfo");
    std::string targetId = JsonString(info, "targetId");
    bool waiting = JsonBool(params, "waitingForDebugger");
    BrowserImpl* owner = FindByTarget(targetId);
    if (owner && owner->SessionId() != sessionId && !waiting) {
        // A second session on a page of ours: a render process's, carried for it by
        // its RenderHost. Its events go there; the page is not offered again.
        return;
    }
    if (JsonString(info, "type") != "page") {
        // Workers and the like run unattended.
        if (waiting) connection_->Send("Runtime.runIfWaitingForDebugger", json::object(), sessionId);
        connection_->Send("Target.detachFromTarget", {{"sessionId", sessionId}});
        return;
    }
    auto pending = pendingTargets_.find(targetId);
    if (pending != pendingTargets_.end()) {
        CefRefPtr<BrowserImpl> b = pending->second;
        pendingTargets_.erase(pending);
        b->Attach(targetId, sessionId, waiting);
        return;
    }
    // A page in a window of its own that we asked the host for: its address says whose.
    auto view = pendingViews_.find(JsonString(info, "url"));
    if (view != pendingViews_.end()) {
        CefRefPtr<BrowserImpl> b = view->second;
        pendingViews_.erase(view);
        b->SetTargetId(targetId);
        b->Attach(targetId, sessionId, waiting);
        return;
    }
    std::string openerId = JsonString(info, "openerId");
    if (!openerId.empty()) {
        if (BrowserImpl* opener = FindByTarget(openerId)) {
            OfferPopup(opener, sessionId, info, waiting);
            return;
        }
    }
    // Possibly ours, announced before the answer to Target.createTarget (not always
    // paused, so not being paused says nothing); otherwise the engine's first blank page.
    unclaimed_[targetId] = Unclaimed{sessionId, waiting, info};
}

void Engine::OnDetached(const json& params) {
    std::string sessionId = JsonString(params, "sessionId");
    {
        std::lock_guard<std::mutex> guard(cancelLock_);
        cancelled_.erase(JsonString(params, "targetId"));
    }
    unclaimed_.erase(JsonString(params, "targetId"));
    if (BrowserImpl* b = FindBySession(sessionId)) {
        // The page went away on its own (window.close() of a popup): so does its browser.
        CefRefPtr<BrowserImpl> keep(b);
        b->Destroy();
    }
}

void Engine::CreatePageTarget(BrowserImpl* browser, const std::string& url) {
    CEF_REQUIRE_UI_THREAD();
    base::StartupStep(L"page asked for");
    CefRefPtr<BrowserImpl> b(browser);
    if (!connection_) {
        // The engine is dead and left to the player: the new page waits with the
        // others behind the notice.
        b->RememberRecoveryUrl(url);
        b->OnEngineLost(false);
        return;
    }
    if (viewMode_ == kViewUnknown) {
        awaitingMode_.emplace_back(b, url);
        return;
    }
    if (viewMode_ == kViewEmbedded) {
        // A window of the engine's own, opened on a placeholder page that tells it
        // from the others; the page is set up there, then sent to its address.
        browser->SetPendingUrl(url.empty() ? "about:blank" : url);
        std::string token;
        token.swap(firstViewToken_);  // the engine's first window goes to the first page asked for
        std::string placeholder = browser->OpenView(generation_, token);
        // That window's page may have been announced before it was asked for.
        for (auto it = unclaimed_.begin(); it != unclaimed_.end(); ++it) {
            if (JsonString(it->second.targetInfo, "url") != placeholder) continue;
            std::string targetId = it->first;
            Unclaimed u = it->second;
            unclaimed_.erase(it);
            b->SetTargetId(targetId);
            b->Attach(targetId, u.sessionId, u.waiting);
            return;
        }
        pendingViews_[placeholder] = b;
        return;
    }
    unsigned gen = generation_;
    // A blank page first: it is set up, and only then sent to its address.
    if (!url.empty() && url != "about:blank") browser->SetPendingUrl(url);
    int id = connection_->SendAsync(
        "Target.createTarget", {{"url", "about:blank"}},
        [b, gen](bool ok, const json& result) {
            std::string targetId = ok ? JsonString(result, "targetId") : std::string();
            PostUiTask([b, gen, targetId] {
                if (!g_engine || g_generation != gen || targetId.empty()) return;
                if (b->Closed()) {
                    // Closed while its page was being made: Teardown had no target to
                    // close and took the browser off the books, so the page goes here.
                    g_engine->unclaimed_.erase(targetId);
                    g_engine->connection_->Send("Target.closeTarget", {{"targetId", targetId}});
                    return;
                }
                b->SetTargetId(targetId);
                auto it = g_engine->unclaimed_.find(targetId);
                if (it != g_engine->unclaimed_.end()) {
                    Unclaimed u = it->second;
                    g_engine->unclaimed_.erase(it);
                    b->Attach(targetId, u.sessionId, u.waiting);
                } else {
                    g_engine->pendingTargets_[targetId] = b;
                }
            });
        });
    if (!id) return;
}

void Engine::AddBrowser(BrowserImpl* browser) {
    CEF_REQUIRE_UI_THREAD();
    browsers_.push_back(browser);
}

void Engine::RemoveBrowser(BrowserImpl* browser) {
    CEF_REQUIRE_UI_THREAD();
    for (auto it = pendingTargets_.begin(); it != pendingTargets_.end();) {
        if (it->second.get() == browser) it = pendingTargets_.erase(it);
        else ++it;
    }
    auto it = std::find_if(browsers_.begin(), browsers_.end(),
                           [browser](const CefRefPtr<BrowserImpl>& b) { return b.get() == browser; });
    if (it != browsers_.end()) browsers_.erase(it);
}

std::vector<CefRefPtr<BrowserImpl>> Engine::Browsers() {
    CEF_REQUIRE_UI_THREAD();
    return browsers_;
}

// ---- the layer's hooks -------------------------------------------------------------

void EngineStart() {
    CEF_REQUIRE_UI_THREAD();
    if (g_engine) return;
    Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&g_gdiplusToken, &input, nullptr) != Gdiplus::Ok) g_gdiplusToken = 0;
    Engine* engine = new Engine();
    engine->SetGeneration(++g_generation);
    g_engine = engine;
    if (!engine->Start() && !engine->LaunchFailed()) {
        // No engine at all: browsers are never created, quietly.
        g_engine = nullptr;
        delete engine;
    }
    // An engine that is there but could not be started (no line to it) stays known:
    // every page shows the engine notice, whose button tries again.
}

void EngineStop() {
    CEF_REQUIRE_UI_THREAD();
    Engine* engine = g_engine;
    if (engine) {
        engine->Stop();
        g_engine = nullptr;
        ++g_generation;
        delete engine;
    }
    if (g_gdiplusToken) {
        Gdiplus::GdiplusShutdown(g_gdiplusToken);
        g_gdiplusToken = 0;
    }
}

}  // namespace cef_internal
