// The engine's recovery: after the engine's browser process died, the browsers get
// the notice and a new engine is started on the same profile, with the cookies of
// the one before (a login among them), and every page is made again at its last
// address; a second death within a minute is left to the player's reload.
#include "src/browser/engine.h"

#include "base/Diagnostics.h"
#include "src/api/cef_context.h"
#include "src/browser/browser_impl.h"

using nlohmann::json;

namespace cef_internal {
namespace {

// A second death of the engine within this time is left to the player (the notice's reload).
const DWORD kRecoveryWindowMs = 60000;

// The engine's cookies (Storage.getCookies) as cookies to set (Storage.setCookies).
json CookiesToSet(const json& cookies) {
    json out = json::array();
    if (!cookies.is_array()) return out;
    for (const json& c : cookies) {
        if (!c.is_object()) continue;
        json p = json::object();
        for (const char* key : {"name", "value", "domain", "path", "secure", "httpOnly", "sameSite", "priority",
                                "sourceScheme", "sourcePort"}) {
            auto it = c.find(key);
            if (it != c.end()) p[key] = *it;
        }
        // A session cookie has no end; the others keep theirs.
        if (!JsonBool(c, "session") && c.contains("expires")) p["expires"] = c["expires"];
        if (JsonString(p, "name").empty() && JsonString(p, "value").empty()) continue;
        out.push_back(p);
    }
    return out;
}

}  // namespace

void Engine::OnEngineGone() {
    if (!connection_) return;
    DWORD now = GetTickCount();
    bool again = diedBefore_ && now - lastDeathTick_ < kRecoveryWindowMs;
    diedBefore_ = true;
    lastDeathTick_ = now;
    base::DiagFailure(L"engine", L"the engine ended unexpectedly; %ls", again ? L"again within a minute: left to the player"
                                                                            : L"starting it again");
    // The notice first, at once; then the old engine is let go and a new one started.
    std::vector<CefRefPtr<BrowserImpl>> browsers = browsers_;
    for (auto& b : browsers) b->OnEngineLost(!again);
    DropEngine(kForcedExitMs);
    if (!again) Restart();
}

bool Engine::Restart() {
    std::vector<CefRefPtr<BrowserImpl>> browsers = browsers_;
    if (!Start()) {
        for (auto& b : browsers) b->OnEngineLost(false);
        return false;
    }
    for (auto& b : browsers)
        if (!b->Closed()) CreatePageTarget(b.get(), b->RecoveryUrl());
    return true;
}

void Engine::RecoverByPlayer() {
    if (connection_) return;  // already running (or starting)
    std::vector<CefRefPtr<BrowserImpl>> browsers = browsers_;
    for (auto& b : browsers) b->OnRecovering();
    Restart();
}

// ---- the cookies kept for the next engine ---------------------------------------------

void Engine::NoteLoadEnd() {
    if (!connection_ || cookiesAsked_) return;
    cookiesAsked_ = true;
    unsigned gen = generation_;
    connection_->SendAsync("Storage.getCookies", json::object(), [gen](bool ok, const json& result) {
        json cookies = ok ? JsonObject(result, "cookies") : json();
        PostUiTask([gen, cookies] {
            Engine* engine = Engine::Current();
            if (!engine || engine->generation_ != gen) return;
            engine->cookiesAsked_ = false;
            if (cookies.is_array()) engine->cookies_ = cookies;
        });
    });
}

void Engine::RestoreCookies() {
    json cookies = CookiesToSet(cookies_);
    if (!cookies.empty()) connection_->Send("Storage.setCookies", {{"cookies", cookies}});
}

}  // namespace cef_internal
