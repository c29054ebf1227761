// What a page opens beside itself, as the engine offers it: popups (to the
// client's life-span handler first), inner frames (their scripts set up before
// they run), and the requests the engine holds for them (documents of cancelled
// popups failed, cross-origin reads granted where the program's rules allow).
#include "src/browser/engine.h"

#include "src/browser/browser_impl.h"
#include "src/browser/crossdomain_policy.h"
#include "src/browser/page_sound.h"
#include "src/flash/flash_emulator.h"

using nlohmann::json;

namespace cef_internal {

void Engine::OnRequestPaused(const json& params) {
    std::string requestId = JsonString(params, "requestId");
    std::string type = JsonString(params, "resourceType");
    const json& request = JsonObject(params, "request");
    if (type == "Document") {
        // Every document request waits here for a moment: those of cancelled popups fail.
        bool cancelled;
        {
            std::lock_guard<std::mutex> guard(cancelLock_);
            cancelled = cancelled_.count(JsonString(params, "frameId")) != 0;
        }
        if (cancelled) connection_->Send("Fetch.failRequest", {{"requestId", requestId}, {"errorReason", "Aborted"}});
        else connection_->Send("Fetch.continueRequest", {{"requestId", requestId}});
        return;
    }
    json headers;
    if (!params.contains("responseStatusCode")) {
        // Failed before an answer came (or a stage we did not ask for): as it is.
        connection_->Send("Fetch.continueRequest", {{"requestId", requestId}});
        return;
    }
    std::string origin = HeaderValue(JsonObject(request, "headers"), "origin");
    const json& answer = JsonObject(params, "responseHeaders");
    int status = JsonInt(params, "responseStatusCode");
    std::weak_ptr<DevToolsConnection> weak = connection_;
    if (grants_.Grant(JsonString(request, "url"), origin, answer, &headers)) {
        ContinueGranted(weak, requestId, status, headers);
        return;
    }
    std::string site, pageHost;
    if (!grants_.AsksSitePolicy(JsonString(request, "url"), origin, answer, &site, &pageHost)) {
        connection_->Send("Fetch.continueResponse", {{"requestId", requestId}});
        return;
    }
    // The answer waits for the site's policy file (fetched once per site).
    policies_.Get(site, [weak, requestId, status, answer, origin, pageHost](const std::string& xml) {
        if (CrossDomainPolicyAdmits(xml, pageHost)) {
            ContinueGranted(weak, requestId, status, CrossOriginGrants::GrantedHeaders(answer, origin));
        } else if (std::shared_ptr<DevToolsConnection> connection = weak.lock()) {
            connection->Send("Fetch.continueResponse", {{"requestId", requestId}});
        }
    });
}

void Engine::ContinueGranted(const std::weak_ptr<DevToolsConnection>& weak, const std::string& requestId, int status,
                             const json& headers) {
    std::shared_ptr<DevToolsConnection> connection = weak.lock();
    if (!connection) return;
    // The engine takes new headers only with the status; an answer it refuses
    // goes on as it came rather than hang.
    connection->SendAsync(
        "Fetch.continueResponse", {{"requestId", requestId}, {"responseCode", status}, {"responseHeaders", headers}},
        [weak, requestId](bool ok, const json&) {
            std::shared_ptr<DevToolsConnection> connection = weak.lock();
            if (!ok && connection) connection->Send("Fetch.continueResponse", {{"requestId", requestId}});
        });
}

void Engine::OnInnerFrameAttached(const json& params, const std::string& parentSession) {
    std::string sessionId = JsonString(params, "sessionId");
    const json& info = JsonObject(params, "targetInfo");
    if (JsonString(info, "type") == "iframe") {
        {
            std::lock_guard<std::mutex> guard(frameLock_);
            frameParents_[sessionId] = parentSession;
        }
        // Commands on one session run in order: the scripts are in place before it runs.
        connection_->Send("Target.setAutoAttach",
                          {{"autoAttach", true},
                           {"waitForDebuggerOnStart", true},
                           {"flatten", true},
                           {"filter", json::array({{{"type", "iframe"}}})}},
                          sessionId);
        // Scripts for new documents take hold with the page domain on.
        connection_->Send("Page.enable", json::object(), sessionId);
        connection_->Send("Page.addScriptToEvaluateOnNewDocument", {{"source", std::string(kSoundScript)}}, sessionId);
        std::string flash = FlashEmulator::DocumentScript();
        if (!flash.empty()) {
            connection_->Send("Page.setBypassCSP", {{"enabled", true}}, sessionId);
            connection_->Send("Page.addScriptToEvaluateOnNewDocument", {{"source", flash}}, sessionId);
        }
    }
    // Workers and the like run unattended. The frame's session stays: its scripts
    // last as long as it does.
    if (JsonBool(params, "waitingForDebugger"))
        connection_->Send("Runtime.runIfWaitingForDebugger", json::object(), sessionId);
    if (JsonString(info, "type") != "iframe") connection_->Send("Target.detachFromTarget", {{"sessionId", sessionId}}, parentSession);
}

std::vector<std::string> Engine::InnerFrameSessions(const std::string& pageSession) {
    std::vector<std::string> out;
    if (pageSession.empty()) return out;
    std::lock_guard<std::mutex> guard(frameLock_);
    std::set<std::string> ours = {pageSession};
    // Parents are attached before their children; a few passes cover any nesting.
    for (bool grew = true; grew;) {
        grew = false;
        for (const auto& entry : frameParents_)
            if (ours.count(entry.second) && ours.insert(entry.first).second) {
                out.push_back(entry.first);
                grew = true;
            }
    }
    return out;
}

void Engine::OfferPopup(BrowserImpl* opener, const std::string& sessionId, const json& info, bool waiting) {
    CEF_REQUIRE_UI_THREAD();
    CefRefPtr<BrowserImpl> openerRef(opener);
    std::string targetId = JsonString(info, "targetId");
    std::string url = JsonString(info, "url");
    std::string name;
    bool userGesture = false;
    CefPopupFeatures features;
    json open;
    if (opener->TakeWindowOpen(&open)) {
        if (url.empty() || url == "about:blank") url = JsonString(open, "url");
        name = JsonString(open, "windowName");
        userGesture = JsonBool(open, "userGesture");
        const json& list = JsonObject(open, "windowFeatures");
        if (list.is_array()) {
            for (const json& f : list) {
                if (!f.is_string()) continue;
                std::string item = f.get<std::string>();
                size_t eq = item.find('=');
                std::string key = item.substr(0, eq);
                int value = eq == std::string::npos ? 1 : atoi(item.c_str() + eq + 1);
                if (key == "left" || key == "screenx") features.x = value, features.xSet = 1;
                else if (key == "top" || key == "screeny") features.y = value, features.ySet = 1;
                else if (key == "width" || key == "innerwidth") features.width = value, features.widthSet = 1;
                else if (key == "height" || key == "innerheight") features.height = value, features.heightSet = 1;
            }
        }
    }
    CefRefPtr<CefFrame> frame = opener->FrameByEngineId(JsonString(info, "openerFrameId")).get();
    if (!frame) frame = opener->GetMainFrame();
    CefRefPtr<CefClient> client = opener->GetClient();
    CefRefPtr<CefLifeSpanHandler> lifeSpan = client ? client->GetLifeSpanHandler() : nullptr;

    // The engine's defaults for a popup: a top-level window of its own.
    CefWindowInfo windowInfo;
    HWND openerWindow = opener->GetWindowHandle();
    windowInfo.SetAsPopup(openerWindow ? GetAncestor(openerWindow, GA_ROOT) : nullptr, CefString());
    if (features.xSet) windowInfo.x = features.x;
    if (features.ySet) windowInfo.y = features.y;
    if (features.widthSet) windowInfo.width = features.width;
    if (features.heightSet) windowInfo.height = features.height;
    CefBrowserSettings settings;
    CefRefPtr<CefClient> popupClient = client;
    bool noScriptAccess = false;
    cef_window_open_disposition_t disposition =
        features.widthSet || features.heightSet ? WOD_NEW_POPUP : WOD_NEW_FOREGROUND_TAB;
    bool cancel = lifeSpan && lifeSpan->OnBeforePopup(openerRef.get(), frame, url, name, disposition, userGesture,
                                                      features, windowInfo, popupClient, settings, &noScriptAccess);
    if (Engine::Current() != this) return;
    if (cancel) {
        // Closing a popup that is still paused holds up the opener's window.open() for
        // seconds, so it is let go and closed at once; its document request is failed
        // where the engine holds every document request (OnReaderEvent): it never loads,
        // and nothing reaches the network.
        {
            std::lock_guard<std::mutex> guard(cancelLock_);
            cancelled_.insert(targetId);
        }
        if (waiting) connection_->Send("Runtime.runIfWaitingForDebugger", json::object(), sessionId);
        connection_->Send("Target.closeTarget", {{"targetId", targetId}});
        return;
    }
    CefRefPtr<BrowserImpl> popup = new BrowserImpl(windowInfo, popupClient, settings, true, openerWindow);
    AddBrowser(popup.get());
    if (!popup->CreateHostWindow()) {
        RemoveBrowser(popup.get());
        connection_->Send("Target.closeTarget", {{"targetId", targetId}});
        return;
    }
    popup->SetTargetId(targetId);
    popup->Attach(targetId, sessionId, waiting);
    if (viewMode_ == kViewEmbedded && !popup->Closed()) {
        // The engine made the popup's window itself: it is sent to a place nobody
        // else uses, where the host finds it.
        int n = ++claims_;
        popup->ClaimView(-20000 - 8 * (n % 1000), -20000 - 8 * (n / 1000 % 1000));
    }
}

}  // namespace cef_internal
