// The engine behind the browser layer: the engine process, its browser-level
// DevTools connection and the routing of its targets to our browsers. Nothing
// outside cef/ includes this header (tests may, to look inside).
#pragma once

#include <windows.h>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>
#include "include/cef_client.h"
#include "src/browser/cross_origin.h"
#include "src/browser/crossdomain_policy.h"
#include "src/engine/devtools.h"
#include "src/engine/engine_process.h"

namespace cef_internal {

class BrowserImpl;
class FrameSink;

// Facts about the running engine, for tests and measurements.
struct EngineInfo {
    bool running = false;
    DWORD processId = 0;  // the engine's own process id (a Linux pid when it runs outside Wine)
    bool linuxProcess = false;
    DWORD startMs = 0;    // from launch to the engine's first answer
    int starts = 0;       // engines started so far (more than one after a recovery)
};
EngineInfo GetEngineInfo();

// The engine behind the browsers: started on the UI thread once it is up (a
// missing engine leaves the layer without browsers), stopped there before it ends.
void EngineStart();
void EngineStop();

// Counters of one browser's pictures, for tests and measurements.
struct BrowserStats {
    int framesReceived = 0;
    int framesDecoded = 0;
    int framesPainted = 0;
    int frameWidth = 0;
    int frameHeight = 0;
    LONGLONG lastDecodedQpc = 0;  // QueryPerformanceCounter at the latest decode
    LONGLONG firstFrameQpc = 0;
    LONGLONG createdQpc = 0;
    LONGLONG decodeQpcTotal = 0;  // time spent decoding pictures
    bool crashed = false;
    int notice = 0;     // BrowserImpl::Notice shown instead of the page
    RECT noticeButton = {0, 0, 0, 0};  // its reload button in the window, empty when none
    bool embedded = false;  // the engine's own window shows the page
    bool viewShown = false;  // ... and is in place and visible
    std::string targetId;
};
bool GetBrowserStats(CefRefPtr<CefBrowser> browser, BrowserStats* out);
// Runs a script in the browser's main frame and returns its value as JSON (tests).
bool EvaluateInBrowser(CefRefPtr<CefBrowser> browser, const std::string& expression, nlohmann::json* value,
                       DWORD timeoutMs = 5000);

class Engine {
public:
    // The running engine; UI thread only. Null when none started.
    static Engine* Current();

    // Tells tasks of this engine from those of an earlier one.
    void SetGeneration(unsigned generation) { generation_ = generation; }
    // UI thread only, as everything below that says nothing else.
    bool Start();
    void Stop();

    std::shared_ptr<DevToolsConnection> SharedConnection() { return connection_; }
    // False while the engine is dead (between its end and a new start).
    bool Connected() const { return connected_; }
    const std::string& UserAgent() const { return userAgent_; }
    const std::string& AcceptLanguage() const { return process_.AcceptLanguage(); }

    // A dead engine started again by the player (the notice's reload): its pages
    // come back at their last addresses.
    void RecoverByPlayer();
    // A page finished loading: the cookies are noted, so that a login outlives the
    // engine (the engine keeps session cookies nowhere, and writes the others late).
    void NoteLoadEnd();

    // Embedding: window commands to the engine's host (Wine only; false elsewhere
    // or while no engine runs). Any thread.
    bool SendWindowCommand(const std::string& json);

    // How this engine's pages are shown: through the engine's own windows, or as
    // screencast pictures; unknown until the host has said (see embed_view.h).
    enum ViewMode { kViewUnknown, kViewScreencast, kViewEmbedded };
    ViewMode Mode() const { return viewMode_; }

    // Browser bookkeeping, UI thread only.
    void AddBrowser(BrowserImpl* browser);
    void RemoveBrowser(BrowserImpl* browser);
    std::vector<CefRefPtr<BrowserImpl>> Browsers();
    // Asks the engine for a new page for `browser`; it is attached when it appears.
    void CreatePageTarget(BrowserImpl* browser, const std::string& url);

    // The sessions of a page's inner frames that run in processes of their own
    // (site isolation), nested ones included. Any thread.
    std::vector<std::string> InnerFrameSessions(const std::string& pageSession);

    // The last Start found the engine but could not start it or reach it.
    bool LaunchFailed() const { return launchFailed_; }

    // Screencast frames are consumed on the reader thread: sessions map to sinks.
    void RegisterSink(const std::string& sessionId, std::shared_ptr<FrameSink> sink);
    void UnregisterSink(const std::string& sessionId);

private:
    struct Unclaimed {
        std::string sessionId;
        bool waiting = false;
        nlohmann::json targetInfo;
    };

    typedef void (Engine::*TargetHandler)(const nlohmann::json& params);
    // The browser-level events the engine handles itself, with their members.
    static const std::map<std::string, TargetHandler>& TargetEvents();

    void OnReaderEvent(const std::string& method, const nlohmann::json& params, const std::string& sessionId);
    void Dispatch(const std::string& method, const nlohmann::json& params, const std::string& sessionId);
    void OnAttached(const nlohmann::json& params);
    void OnDetached(const nlohmann::json& params);
    // Reader thread: a request the engine holds for us (document requests, fetch
    // answers and own-host XMLHttpRequest answers, see cross_origin.h); always let go at once.
    void OnRequestPaused(const nlohmann::json& params);
    // Reader thread: an inner frame of another site, in a process of its own, gets
    // the scripts every document of ours has, then runs.
    void OnInnerFrameAttached(const nlohmann::json& params, const std::string& parentSession);
    static void ContinueGranted(const std::weak_ptr<DevToolsConnection>& connection, const std::string& requestId,
                                int status, const nlohmann::json& headers);
    // The engine's browser process ended without being asked: pages get the notice,
    // the engine is started again (unless it died already within the last minute)
    // and its pages are made again.
    void OnEngineGone();
    bool Restart();
    // Into a new engine (before any page of ours): the cookies noted in the one before.
    void RestoreCookies();
    // Lets go of the connection and the process (which has ended or is ended now).
    void DropEngine(DWORD waitMs);
    void OnWindowEvent(const nlohmann::json& event);
    void OfferPopup(BrowserImpl* opener, const std::string& sessionId, const nlohmann::json& targetInfo,
                    bool waiting);
    BrowserImpl* FindBySession(const std::string& sessionId);
    BrowserImpl* FindByTarget(const std::string& targetId);

    // From the lifeline let go to the end of the engine's whole group.
    static constexpr DWORD kForcedExitMs = 1500;

    EngineProcess process_;
    std::shared_ptr<DevToolsConnection> connection_;
    bool connected_ = false;
    bool launchFailed_ = false;
    std::string userAgent_;
    // UI thread only, as the rest of the engine's bookkeeping below.
    // Deaths of the engine: a second one within a minute is not recovered by itself.
    bool diedBefore_ = false;
    DWORD lastDeathTick_ = 0;
    // The cookies as last noted (Storage.getCookies), restored into a new engine.
    nlohmann::json cookies_;
    bool cookiesAsked_ = false;
    ViewMode viewMode_ = kViewUnknown;
    // Pages asked for before the mode was known: made once it is (browser, address).
    std::vector<std::pair<CefRefPtr<BrowserImpl>, std::string>> awaitingMode_;
    std::map<std::string, CefRefPtr<BrowserImpl>> pendingViews_;  // placeholder address -> browser
    // The token of the window a windowed engine opens as it starts, until a page takes it.
    std::string firstViewToken_;
    int claims_ = 0;  // places popup windows were sent to, to be known by

    std::vector<CefRefPtr<BrowserImpl>> browsers_;
    std::map<std::string, CefRefPtr<BrowserImpl>> pendingTargets_;  // targetId -> browser waiting for it
    std::map<std::string, Unclaimed> unclaimed_;           // attached before their creator knew them

    std::mutex cancelLock_;  // cancelled_ is read on the reader thread
    std::set<std::string> cancelled_;  // popups the client cancelled (target ids)

    // Set before the connection's reader starts, only read while it runs.
    CrossOriginGrants grants_;
    // Sites' Flash policy files, asked on the reader thread (its own lock).
    CrossDomainPolicies policies_;

    // Inner frames in processes of their own: session -> the session it belongs to.
    // Written on the reader thread, read on the UI thread.
    std::mutex frameLock_;
    std::map<std::string, std::string> frameParents_;

    std::mutex sinkLock_;  // sinks_ is read on the reader thread
    std::map<std::string, std::shared_ptr<FrameSink>> sinks_;

    // Read by the connection's reader; changed on the UI thread only when no reader
    // runs (DropEngine, after the line's reader is joined).
    unsigned generation_ = 0;
};

}  // namespace cef_internal
