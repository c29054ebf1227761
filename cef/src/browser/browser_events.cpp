// A browser's engine page: attaching to it, commands to it, and its events, each
// handled by one member named in the table below.
#include "src/browser/browser_impl.h"

#include "base/Diagnostics.h"

#include "src/api/cef_context.h"
#include "src/flash/flash_emulator.h"
#include "src/flash/ime_guard.h"
#include "src/flash/relay_protocol.h"
#include "src/view/page_script.h"
#include "src/browser/page_sound.h"
#include "src/render/render_host.h"
#include "src/browser/script_dialog.h"

using nlohmann::json;

namespace cef_internal {
namespace {

// Error texts of failed loads ("net::ERR_CONNECTION_REFUSED") as error codes.
cef_errorcode_t ErrorCodeFor(const std::string& text, bool canceled) {
    if (canceled) return ERR_ABORTED;
    static const struct {
        const char* name;
        cef_errorcode_t code;
    } kErrors[] = {
        {"ERR_ABORTED", ERR_ABORTED}, {"ERR_TIMED_OUT", ERR_TIMED_OUT}, {"ERR_FILE_NOT_FOUND", ERR_FILE_NOT_FOUND},
        {"ERR_ACCESS_DENIED", ERR_ACCESS_DENIED}, {"ERR_CONNECTION_CLOSED", ERR_CONNECTION_CLOSED},
        {"ERR_CONNECTION_RESET", ERR_CONNECTION_RESET}, {"ERR_CONNECTION_REFUSED", ERR_CONNECTION_REFUSED},
        {"ERR_CONNECTION_ABORTED", ERR_CONNECTION_ABORTED}, {"ERR_CONNECTION_FAILED", ERR_CONNECTION_FAILED},
        {"ERR_NAME_NOT_RESOLVED", ERR_NAME_NOT_RESOLVED}, {"ERR_INTERNET_DISCONNECTED", ERR_INTERNET_DISCONNECTED},
        {"ERR_ADDRESS_UNREACHABLE", ERR_ADDRESS_UNREACHABLE}, {"ERR_CONNECTION_TIMED_OUT", ERR_CONNECTION_TIMED_OUT},
        {"ERR_INVALID_URL", ERR_INVALID_URL}, {"ERR_UNKNOWN_URL_SCHEME", ERR_UNKNOWN_URL_SCHEME},
        {"ERR_TOO_MANY_REDIRECTS", ERR_TOO_MANY_REDIRECTS}, {"ERR_EMPTY_RESPONSE", ERR_EMPTY_RESPONSE},
        {"ERR_INVALID_RESPONSE", ERR_INVALID_RESPONSE}, {"ERR_UNSAFE_PORT", ERR_UNSAFE_PORT},
        {"ERR_CERT_COMMON_NAME_INVALID", ERR_CERT_COMMON_NAME_INVALID},
        {"ERR_CERT_DATE_INVALID", ERR_CERT_DATE_INVALID}, {"ERR_CERT_AUTHORITY_INVALID", ERR_CERT_AUTHORITY_INVALID},
    };
    for (const auto& e : kErrors)
        if (text.find(e.name) != std::string::npos) return e.code;
    return ERR_FAILED;
}

}  // namespace

// ---- engine page -----------------------------------------------------------------

void BrowserImpl::Command(const std::string& method, const json& params) {
    std::string session = SessionId();
    if (!session.empty()) EngineSend(method, params, session);
}

std::string BrowserImpl::TargetId() {
    std::lock_guard<std::mutex> guard(lock_);
    return targetId_;
}

std::string BrowserImpl::SessionId() {
    std::lock_guard<std::mutex> guard(lock_);
    return sessionId_;
}

void BrowserImpl::SetTargetId(const std::string& targetId) {
    std::lock_guard<std::mutex> guard(lock_);
    targetId_ = targetId;
}

void BrowserImpl::SendViewport() {
    // The engine's own window is the page's viewport, at the window's size.
    if (!attached_ || view_) return;
    Command("Emulation.setDeviceMetricsOverride",
            {{"width", PageWidth()}, {"height", PageHeight()}, {"deviceScaleFactor", 1}, {"mobile", false}});
    pictureRetries_ = 0;
    StartScreencast();
}

void BrowserImpl::StartScreencast() {
    // The engine keeps the picture size a screencast started with; start it again at the new size.
    if (screencasting_) Command("Page.stopScreencast");
    Command("Page.startScreencast", {{"format", "jpeg"}, {"quality", 80}, {"everyNthFrame", 1},
                                     {"maxWidth", PageWidth()}, {"maxHeight", PageHeight()}});
    screencasting_ = true;
    // A screencast starts with a picture of what the page shows at that moment; taken
    // before the page has its new size, it is the old layout squeezed into the new
    // size, and a page that does not move sends no other. Looked at again shortly.
    if (HWND hwnd = hwnd_) SetTimer(hwnd, kPictureCheckTimer, kPictureCheckMs, nullptr);
}

void BrowserImpl::CheckPictureSize() {
    if (!attached_ || view_ || !screencasting_ || crashed_ || closed_ || !sink_) return;
    HWND hwnd = hwnd_;
    if (!hwnd || !IsWindowVisible(hwnd)) return;  // a hidden page sends no pictures
    std::shared_ptr<const Picture> p = sink_->Latest();
    if (p && p->width == PageWidth() && p->height == PageHeight()) return;
    // A few times at most: a page that cannot be drawn at this size keeps its last picture.
    if (pictureRetries_ >= kPictureRetries) return;
    ++pictureRetries_;
    StartScreencast();
}

void BrowserImpl::Attach(const std::string& targetId, const std::string& sessionId, bool waiting) {
    CEF_REQUIRE_UI_THREAD();
    if (closed_) {
        EngineSend("Target.closeTarget", {{"targetId", targetId}}, "");
        return;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        targetId_ = targetId;
        sessionId_ = sessionId;
    }
    attached_ = true;
    Engine* engine = Engine::Current();
    if (engine && !view_) engine->RegisterSink(sessionId, sink_);

    // Commands on one session run in order, so the page is fully set up before it
    // is let go with the last one.
    base::StartupStep(L"page attached");
    Command("Page.enable");
    // For the start-up chain's last step (the first page's first pixels).
    Command("Page.setLifecycleEventsEnabled", {{"enabled", true}});
    Command("Network.enable");
    Command("Runtime.enable");
    // Inner frames of other sites run in processes of their own (site isolation):
    // each waits until the engine line's reader has given it our scripts.
    // Only frames: popups wait for the client's word on the browser's own session.
    Command("Target.setAutoAttach", {{"autoAttach", true},
                                     {"waitForDebuggerOnStart", true},
                                     {"flatten", true},
                                     {"filter", json::array({{{"type", "iframe"}}})}});
    // The client's binding and script live in a world of their own in every document:
    // the page's scripts share its DOM but not its globals, so they can neither call
    // the binding nor report a title (or, embedded, keys) in the script's name.
    const char* world = view_ ? kViewWorld : kHostWorld;
    Command("Runtime.addBinding", {{"name", kHostBinding}, {"executionContextName", world}});
    Command("Page.addScriptToEvaluateOnNewDocument",
            {{"source", PageScript(view_ != nullptr)}, {"worldName", world}});
    std::string flash = FlashEmulator::DocumentScript();
    // Input-method text for movies; it only needs the DOM, so it stays out of the page's
    // reach. Registered before the page-world scripts: after the emulator's it did not run.
    if (!flash.empty()) Command("Page.addScriptToEvaluateOnNewDocument", {{"source", kImeGuardScript}, {"worldName", world}});
    // The sound switch and the Flash emulator must act on the page's own globals,
    // so they run in the page's world.
    Command("Page.addScriptToEvaluateOnNewDocument", {{"source", std::string(kSoundScript)}});
    if (!flash.empty()) {
        // The emulator's scripts, engine build and fonts come from our own origin,
        // which a page's content policy would refuse.
        Command("Page.setBypassCSP", {{"enabled", true}});
        AddFlashScript(flash);
    }
    if (engine && !engine->UserAgent().empty()) {
        json ua = {{"userAgent", engine->UserAgent()}};
        if (!engine->AcceptLanguage().empty()) ua["acceptLanguage"] = engine->AcceptLanguage();
        Command("Emulation.setUserAgentOverride", ua);
    }
    // A headless page never has the system focus; without this it would not show a caret.
    Command("Emulation.setFocusEmulationEnabled", {{"enabled", true}});
    if (settings_.javascript == STATE_DISABLED) Command("Emulation.setScriptExecutionDisabled", {{"value", true}});
    SendViewport();  // starts the pictures too

    if (!afterCreatedSent_) {
        afterCreatedSent_ = true;
        CefRefPtr<CefLifeSpanHandler> lifeSpan = client_ ? client_->GetLifeSpanHandler() : nullptr;
        if (lifeSpan) lifeSpan->OnAfterCreated(this);
    }
    if (closed_) return;  // the client closed it from OnAfterCreated
    // Commands on a session run in order, so the domains above are on before the page
    // goes on. A page of ours is then sent to its address once the engine has answered
    // the set-up: a document committed earlier could go unreported.
    if (waiting) Command("Runtime.runIfWaitingForDebugger");
    std::shared_ptr<DevToolsConnection> connection = EngineConnection();
    CefRefPtr<BrowserImpl> self(this);
    if (connection && !pendingUrl_.empty())
        connection->SendAsync(
            "Page.getFrameTree", json::object(),
            [self](bool, const json&) {
                PostUiTask([self] {
                    std::string url;
                    url.swap(self->pendingUrl_);
                    if (self->closed_ || url.empty()) return;
                    base::StartupStep(L"page set up, sent to its address");
                    self->Command("Page.navigate", {{"url", url}});
                });
            },
            sessionId);
    StartRenderHost();
}

void BrowserImpl::StartRenderHost() {
    Engine* engine = Engine::Current();
    if (!engine || !engine->SharedConnection()) return;
    int id = id_;
    RenderHost* host = RenderHost::Start(
        id_, engine->SharedConnection(), TargetId(), [id](CefRefPtr<CefProcessMessage> message) {
            Engine* e = Engine::Current();
            if (!e || !message) return;
            for (auto& b : e->Browsers()) {
                if (b->GetIdentifier() != id) continue;
                CefRefPtr<CefClient> client = b->GetClient();
                if (client) client->OnProcessMessageReceived(b.get(), PID_RENDERER, message);
                return;
            }
        });
    std::lock_guard<std::mutex> guard(lock_);
    renderHost_ = host;
}

bool BrowserImpl::SendProcessMessage(CefProcessId target_process, CefRefPtr<CefProcessMessage> message) {
    if (target_process != PID_RENDERER || !message) return false;
    std::lock_guard<std::mutex> guard(lock_);
    return renderHost_ && renderHost_->Send(message);
}

CefRefPtr<FrameImpl> BrowserImpl::FrameByEngineId(const std::string& engineId) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = frames_.find(engineId);
    return it != frames_.end() ? it->second : nullptr;
}

void BrowserImpl::RememberWindowOpen(const json& params) {
    CEF_REQUIRE_UI_THREAD();
    windowOpen_ = params;
    windowOpenTick_ = GetTickCount();
}

bool BrowserImpl::TakeWindowOpen(json* params) {
    CEF_REQUIRE_UI_THREAD();
    if (windowOpen_.is_null() || GetTickCount() - windowOpenTick_ > 5000) return false;
    *params = std::move(windowOpen_);
    windowOpen_ = json();
    return true;
}

// ---- engine events -----------------------------------------------------------------

const std::map<std::string, BrowserImpl::SessionHandler>& BrowserImpl::SessionEvents() {
    static const std::map<std::string, SessionHandler> kEvents = {
        {"Network.requestWillBeSent", &BrowserImpl::OnRequestWillBeSent},
        {"Network.responseReceived", &BrowserImpl::OnResponseReceived},
        {"Network.loadingFinished", &BrowserImpl::OnLoadingFinished},
        {"Network.loadingFailed", &BrowserImpl::OnLoadingFailed},
        {"Page.frameNavigated", &BrowserImpl::OnFrameNavigated},
        {"Page.navigatedWithinDocument", &BrowserImpl::OnNavigatedWithinDocument},
        {"Page.frameStartedLoading", &BrowserImpl::OnFrameStartedLoading},
        {"Page.frameStoppedLoading", &BrowserImpl::OnFrameStoppedLoading},
        {"Page.lifecycleEvent", &BrowserImpl::OnLifecycleEvent},
        {"Page.frameDetached", &BrowserImpl::OnFrameDetached},
        {"Page.javascriptDialogOpening", &BrowserImpl::OnDialog},
        {"Page.windowOpen", &BrowserImpl::RememberWindowOpen},
        {"Runtime.bindingCalled", &BrowserImpl::OnBindingCalled},
        {"Runtime.executionContextCreated", &BrowserImpl::OnContextCreated},
        {"Runtime.executionContextDestroyed", &BrowserImpl::OnContextDestroyed},
        {"Runtime.executionContextsCleared", &BrowserImpl::OnContextsCleared},
        {"Runtime.consoleAPICalled", &BrowserImpl::OnConsoleMessage},
        {"Inspector.targetCrashed", &BrowserImpl::OnTargetCrashed},
    };
    return kEvents;
}

void BrowserImpl::OnSessionEvent(const std::string& method, const json& params) {
    CEF_REQUIRE_UI_THREAD();
    if (closed_) return;
    const auto& events = SessionEvents();
    auto it = events.find(method);
    if (it != events.end()) (this->*it->second)(params);
}

void BrowserImpl::OnRequestWillBeSent(const json& params) {
    if (JsonString(params, "type") == "Document")
        docRequests_[JsonString(params, "requestId")] =
            JsonString(params, "frameId") + "\n" + JsonString(JsonObject(params, "request"), "url");
}

void BrowserImpl::OnResponseReceived(const json& params) {
    if (JsonString(params, "type") == "Document")
        status_[JsonString(params, "loaderId")] = JsonInt(JsonObject(params, "response"), "status");
}

void BrowserImpl::OnLoadingFinished(const json& params) { docRequests_.erase(JsonString(params, "requestId")); }

void BrowserImpl::OnLoadingFailed(const json& params) {
    auto it = docRequests_.find(JsonString(params, "requestId"));
    if (it == docRequests_.end()) return;
    std::string frameId = it->second.substr(0, it->second.find('\n'));
    std::string url = it->second.substr(it->second.find('\n') + 1);
    docRequests_.erase(it);
    CefRefPtr<FrameImpl> frame = FrameByEngineId(frameId);
    if (!frame) frame = mainFrame_;
    CefRefPtr<CefLoadHandler> load = client_ ? client_->GetLoadHandler() : nullptr;
    std::string text = JsonString(params, "errorText");
    if (load) load->OnLoadError(this, frame.get(), ErrorCodeFor(text, JsonBool(params, "canceled")), text, url);
}

void BrowserImpl::OnNavigatedWithinDocument(const json& params) {
    CefRefPtr<FrameImpl> frame = FrameByEngineId(JsonString(params, "frameId"));
    if (!frame) return;
    std::string url = JsonString(params, "url");
    frame->SetURL(url);
    CefRefPtr<CefDisplayHandler> display = client_ ? client_->GetDisplayHandler() : nullptr;
    if (display && frame->IsMain()) display->OnAddressChange(this, frame.get(), url);
    if (frame->IsMain()) UpdateHistory();
}

void BrowserImpl::OnFrameStartedLoading(const json& params) {
    CefRefPtr<FrameImpl> frame = FrameByEngineId(JsonString(params, "frameId"));
    bool main = (frame && frame->IsMain()) || JsonString(params, "frameId") == TargetId();
    if (!main || !pendingUrl_.empty()) return;
    {
        std::lock_guard<std::mutex> guard(lock_);
        loading_ = true;
    }
    CefRefPtr<CefLoadHandler> load = client_ ? client_->GetLoadHandler() : nullptr;
    if (load) load->OnLoadingStateChange(this, true, CanGoBack(), CanGoForward());
}

void BrowserImpl::OnBindingCalled(const json& params) {
    if (JsonString(params, "name") == kHostBinding) OnBinding(JsonString(params, "payload"));
}

void BrowserImpl::OnContextCreated(const json& params) {
    const json& context = JsonObject(params, "context");
    const json& aux = JsonObject(context, "auxData");
    if (!JsonBool(aux, "isDefault")) return;
    int id = JsonInt(context, "id");
    contexts_[JsonString(aux, "frameId")] = id;
    // A document that starts while the window is hidden starts silent.
    if (!audible_) Command("Runtime.evaluate", {{"expression", SoundExpression(false)}, {"contextId", id}});
}

void BrowserImpl::UpdateAudible() {
    CEF_REQUIRE_UI_THREAD();
    HWND hwnd = hwnd_;
    // Minimised, the page is still heard, as in a web browser; hidden, it is not.
    bool audible = hwnd && IsWindowVisible(hwnd);
    if (audible == audible_ || closed_) return;
    audible_ = audible;
    for (const auto& frame : contexts_)
        Command("Runtime.evaluate", {{"expression", SoundExpression(audible)}, {"contextId", frame.second}});
    // Inner frames of other sites run in processes of their own, on sessions of their own.
    if (Engine* engine = Engine::Current())
        for (const std::string& frame : engine->InnerFrameSessions(SessionId()))
            EngineSend("Runtime.evaluate", {{"expression", SoundExpression(audible)}}, frame);
}

void BrowserImpl::OnContextDestroyed(const json& params) {
    int id = JsonInt(params, "executionContextId");
    for (auto it = contexts_.begin(); it != contexts_.end(); ++it)
        if (it->second == id) {
            contexts_.erase(it);
            break;
        }
}

void BrowserImpl::OnContextsCleared(const json&) { contexts_.clear(); }

void BrowserImpl::OnConsoleMessage(const json& params) {
    CefRefPtr<CefDisplayHandler> display = client_ ? client_->GetDisplayHandler() : nullptr;
    std::string text;
    const json& args = JsonObject(params, "args");
    if (args.is_array())
        for (const json& a : args) {
            if (!text.empty()) text += ' ';
            const json& v = JsonObject(a, "value");
            text += v.is_string() ? v.get<std::string>() : (v.is_null() ? JsonString(a, "description") : v.dump());
        }
    // The emulator logs its warnings with console.log.
    LearnSocketHost(JsonInt(params, "executionContextId"), text);
    if (!display) return;
    const json& frames = JsonObject(JsonObject(params, "stackTrace"), "callFrames");
    std::string source;
    int line = 0;
    if (frames.is_array() && !frames.empty()) {
        source = JsonString(frames[0], "url");
        line = JsonInt(frames[0], "lineNumber") + 1;
    }
    display->OnConsoleMessage(this, text, source, line);
}

// The Flash emulator warns of a socket to a host its relay list lacks: the host is
// added to that document's list, its players restart once, and the host is kept
// for the site (the document's own host, as the engine knows it, not as the page
// may claim it).
void BrowserImpl::LearnSocketHost(int contextId, const std::string& text) {
    std::string host;
    int port = 0;
    if (!ParseMissingProxyWarning(text, &host, &port) || FlashEmulator::DocumentScript().empty()) return;
    std::string frameId;
    for (const auto& c : contexts_)
        if (c.second == contextId) frameId = c.first;
    CefRefPtr<FrameImpl> frame = frameId.empty() ? nullptr : FrameByEngineId(frameId);
    if (!frame) return;
    std::string site = HostOfOrigin(OriginOfUrl(frame->GetURL().ToString()));
    std::shared_ptr<DevToolsConnection> connection = EngineConnection();
    std::string session = SessionId();
    if (site.empty() || !connection || session.empty()) return;
    connection->SendAsync(
        "Runtime.evaluate",
        {{"expression", FlashLearnExpression(host)}, {"contextId", contextId}, {"returnByValue", true}},
        [site, host](bool ok, const json& result) {
            if (!ok || JsonObject(JsonObject(result, "result"), "value") != true) return;
            PostUiTask([site, host] {
                // The site's next documents, in every page, list the host from the start.
                Engine* engine = Engine::Current();
                if (FlashEmulator::RememberHost(site, host) && engine)
                    for (auto& browser : engine->Browsers()) browser->RefreshFlashScript();
            });
        },
        session);
}

// The emulator's document script, registered so that a newer one (with a host
// learned) can take its place. Sent on the session like every other command, so
// it keeps its place among them.
void BrowserImpl::AddFlashScript(const std::string& source) {
    std::shared_ptr<DevToolsConnection> connection = EngineConnection();
    std::string session = SessionId();
    if (!connection || session.empty()) return;
    CefRefPtr<BrowserImpl> self(this);
    connection->SendAsync(
        "Page.addScriptToEvaluateOnNewDocument", {{"source", source}},
        [self](bool ok, const json& result) {
            if (!ok) return;
            std::string id = JsonString(result, "identifier");
            PostUiTask([self, id] { self->flashScriptId_ = id; });
        },
        session);
}

void BrowserImpl::RefreshFlashScript() {
    CEF_REQUIRE_UI_THREAD();
    std::string flash = FlashEmulator::DocumentScript();
    if (closed_ || flashScriptId_.empty() || flash.empty()) return;
    Command("Page.removeScriptToEvaluateOnNewDocument", {{"identifier", flashScriptId_}});
    flashScriptId_.clear();
    AddFlashScript(flash);
}

void BrowserImpl::OnFrameNavigated(const json& params) {
    const json& frame = JsonObject(params, "frame");
    std::string id = JsonString(frame, "id");
    std::string parentId = JsonString(frame, "parentId");
    std::string unreachable = JsonString(frame, "unreachableUrl");
    std::string url = unreachable.empty() ? JsonString(frame, "url") + JsonString(frame, "urlFragment") : unreachable;
    bool isMain = parentId.empty();
    if (isMain && skipBlank_) {
        // The blank page a new page starts with (in a window of its own, the placeholder).
        if (view_ ? JsonString(frame, "url") == view_->PlaceholderUrl() : JsonString(frame, "url") == "about:blank")
            return;
        skipBlank_ = false;
    }
    CefRefPtr<FrameImpl> f;
    CefRefPtr<FrameImpl> parent;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (isMain) {
            f = mainFrame_;
            std::string old = f->EngineId();
            if (old != id) frames_.erase(old);
            frames_[id] = f;
            hasDocument_ = true;
        } else {
            auto it = frames_.find(id);
            if (it != frames_.end()) {
                f = it->second;
            } else {
                f = new FrameImpl(this, nextFrameId_++, false);
                frames_[id] = f;
            }
            auto p = frames_.find(parentId);
            if (p != frames_.end()) parent = p->second;
        }
        frameLoader_[id] = JsonString(frame, "loaderId");
    }
    FlashEmulator::AllowOrigin(url);  // its movies may use the socket relay
    // Before its first navigation a frame shows its first, empty document.
    std::string before = f->GetURL().ToString();
    bool fromEmpty = before.empty() || before == "about:blank";
    f->Update(id, url, JsonString(frame, "name"), parent);
    if (isMain && crashed_) {
        crashed_ = false;  // a new document: pictures come again
        notice_ = kNoNotice;
        recoveryUrl_.clear();
        if (hwnd_) InvalidateRect(hwnd_, nullptr, FALSE);
        if (view_) view_->SetSuspended(false);
    }
    if (isMain) {
        CefRefPtr<CefDisplayHandler> display = client_ ? client_->GetDisplayHandler() : nullptr;
        if (display) display->OnAddressChange(this, f.get(), url);
        UpdateHistory();
    }
    loadStarted_.insert(id);
    // A window taken over from a frame's first, empty document keeps its script
    // context: the Flash emulator is set up again there for the new document.
    auto context = fromEmpty ? contexts_.find(id) : contexts_.end();
    if (context != contexts_.end()) {
        std::string reused = FlashEmulator::ReusedWindowScript();
        if (!reused.empty()) Command("Runtime.evaluate", {{"expression", reused}, {"contextId", context->second}});
    }
    CefRefPtr<CefLoadHandler> load = client_ ? client_->GetLoadHandler() : nullptr;
    if (load) load->OnLoadStart(this, f.get());
}

void BrowserImpl::OnLifecycleEvent(const json& params) {
    if (JsonString(params, "name") != "firstContentfulPaint") return;
    CefRefPtr<FrameImpl> frame = FrameByEngineId(JsonString(params, "frameId"));
    if (frame && frame->IsMain()) base::StartupStep(L"first page pixels");
}

void BrowserImpl::OnFrameStoppedLoading(const json& params) {
    std::string frameId = JsonString(params, "frameId");
    CefRefPtr<FrameImpl> frame = FrameByEngineId(frameId);
    CefRefPtr<CefLoadHandler> load = client_ ? client_->GetLoadHandler() : nullptr;
    if (frame && loadStarted_.erase(frameId)) {
        int status = 0;
        {
            std::lock_guard<std::mutex> guard(lock_);
            auto loader = frameLoader_.find(frameId);
            if (loader != frameLoader_.end()) {
                auto s = status_.find(loader->second);
                if (s != status_.end()) status = s->second;
            }
        }
        if (frame->IsMain()) base::StartupStep(L"first page loaded");
        if (load) load->OnLoadEnd(this, frame.get(), status);
    }
    if (frame && frame->IsMain()) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            loading_ = false;
        }
        if (load) load->OnLoadingStateChange(this, false, CanGoBack(), CanGoForward());
        if (Engine* engine = Engine::Current()) engine->NoteLoadEnd();
    }
}

void BrowserImpl::OnFrameDetached(const json& params) {
    if (JsonString(params, "reason") == "swap") return;  // the frame lives on in another process
    std::string frameId = JsonString(params, "frameId");
    CefRefPtr<FrameImpl> frame;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = frames_.find(frameId);
        if (it == frames_.end() || it->second == mainFrame_) return;
        frame = it->second;
        frames_.erase(it);
        frameLoader_.erase(frameId);
    }
    loadStarted_.erase(frameId);
    contexts_.erase(frameId);
    frame->Invalidate();
}

void BrowserImpl::UpdateHistory() {
    std::shared_ptr<DevToolsConnection> connection = EngineConnection();
    std::string session = SessionId();
    if (!connection || session.empty()) return;
    CefRefPtr<BrowserImpl> self(this);
    connection->SendAsync(
        "Page.getNavigationHistory", json::object(),
        [self](bool ok, const json& result) {
            if (!ok) return;
            const json& entries = JsonObject(result, "entries");
            int index = JsonInt(result, "currentIndex");
            int count = entries.is_array() ? (int)entries.size() : 0;
            std::lock_guard<std::mutex> guard(self->lock_);
            self->canGoBack_ = index > 0;
            self->canGoForward_ = index + 1 < count;
        },
        session);
}

void BrowserImpl::OnBinding(const std::string& payload) {
    if (payload.size() > kMaxBindingPayload) return;  // a title the page set may be huge
    json msg = json::parse(payload, nullptr, false);
    if (!msg.is_object()) return;
    std::string kind = JsonString(msg, "t");
    if (kind == "title") {
        std::wstring title = CefString(JsonString(msg, "v")).ToWString();
        // An untitled page is known by its address.
        if (title.empty()) title = mainFrame_->GetURL().ToWString();
        if (title == title_) return;
        title_ = title;
        CefRefPtr<CefDisplayHandler> display = client_ ? client_->GetDisplayHandler() : nullptr;
        if (display) display->OnTitleChange(this, title);
    } else if (kind == "menu") {
        ShowContextMenu(msg);
    } else if (kind == "cursor") {
        SetCursorName(JsonString(msg, "v"));
    } else if (kind == "key") {
        if (view_) view_->OnPageKey(msg);
    }
}

void BrowserImpl::OnDialog(const json& params) {
    std::string type = JsonString(params, "type");
    std::string origin = ScriptDialogOrigin(JsonString(params, "url"));
    ScriptDialogPolicy::Action action = dialogPolicy_.Next(origin);
    ScriptDialogResult result;
    if (action == ScriptDialogPolicy::kAnswerAtOnce) {
        result = StoppedDialogAnswer(type);
    } else {
        CefRefPtr<BrowserImpl> keep(this);  // the dialog serves messages; the browser may be closed meanwhile
        HWND hwnd = hwnd_;
        ScriptDialogRequest request;
        request.type = type;
        request.message = JsonString(params, "message");
        request.defaultPrompt = JsonString(params, "defaultPrompt");
        request.url = JsonString(params, "url");
        request.offerStop = action == ScriptDialogPolicy::kShowWithStop;
        request.chinese = ChineseUi();
        // The engine shows the page's dialog in its own window as well: while ours is
        // up, the engine's window is held at what it showed when the dialog came.
        if (view_ && dialogsUp_++ == 0) view_->SetFrozen(true);
        result = RunScriptDialog(hwnd ? GetAncestor(hwnd, GA_ROOT) : nullptr, hwnd, request);
        if (view_ && --dialogsUp_ == 0 && !closed_) view_->SetFrozen(false);
        if (closed_) return;
        dialogPolicy_.Answered(origin, result);
    }
    json answer = {{"accept", result.accept}};
    if (result.accept && type == "prompt") answer["promptText"] = result.text;
    Command("Page.handleJavaScriptDialog", answer);
}

// ---- measurements and test hooks ---------------------------------------------------

bool BrowserImpl::Stats(BrowserStats* out) {
    CEF_REQUIRE_UI_THREAD();
    if (!sink_) return false;
    out->framesReceived = sink_->received;
    out->framesDecoded = sink_->decoded;
    out->framesPainted = painted_;
    std::shared_ptr<const Picture> p = sink_->Latest();
    out->frameWidth = p ? p->width : 0;
    out->frameHeight = p ? p->height : 0;
    out->lastDecodedQpc = sink_->lastDecodedQpc;
    out->firstFrameQpc = sink_->firstDecodedQpc;
    out->createdQpc = createdQpc_;
    out->decodeQpcTotal = sink_->decodeQpcTotal;
    out->crashed = crashed_;
    out->notice = notice_;
    RECT button = {0, 0, 0, 0};
    out->noticeButton = NoticeButton(&button) ? button : RECT{0, 0, 0, 0};
    out->embedded = view_ != nullptr;
    out->viewShown = view_ && view_->Shown();
    out->targetId = TargetId();
    return true;
}

bool GetBrowserStats(CefRefPtr<CefBrowser> browser, BrowserStats* out) {
    BrowserImpl* impl = dynamic_cast<BrowserImpl*>(browser.get());
    if (!impl || !out) return false;
    bool ok = false;
    RunUiTaskAndWait([&] { ok = impl->Stats(out); });
    return ok;
}

bool EvaluateInBrowser(CefRefPtr<CefBrowser> browser, const std::string& expression, json* value,
                       DWORD timeoutMs) {
    BrowserImpl* impl = dynamic_cast<BrowserImpl*>(browser.get());
    std::shared_ptr<DevToolsConnection> connection = EngineConnection();
    if (!impl || !connection) return false;
    std::string session = impl->SessionId();
    if (session.empty()) return false;
    json result;
    if (!connection->Call("Runtime.evaluate",
                          {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}}, &result,
                          session, timeoutMs))
        return false;
    if (!JsonObject(result, "exceptionDetails").is_null()) return false;
    if (value) *value = JsonObject(JsonObject(result, "result"), "value");
    return true;
}

}  // namespace cef_internal
