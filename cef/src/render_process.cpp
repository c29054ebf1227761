// Render side of a browser: the "--type=renderer" process. It takes process
// messages from the browser process over the pipe RenderHost made, hands them to
// the application's render-process handler on this process's main thread, and
// reads the page's live document through a DevTools session of its own.
#include "src/cef_context.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>
#include "src/devtools.h"
#include "src/process_message_wire.h"
#include "src/render_switches.h"

using nlohmann::json;

namespace cef_internal {
namespace {

const DWORD kPipeBuffer = 64 * 1024;
const char kDomWorld[] = "vornmark-dom";

struct FrameInfo {
    std::string id;
    std::string parentId;
    std::string name;
    std::string url;
};

// Frame ids of the engine are 32 hex digits; the first 15 make a positive 64-bit
// identifier that stays the same for the frame's whole life.
int64 FrameIdentifier(const std::string& id) {
    int64 value = 0;
    size_t used = 0;
    for (char c : id) {
        if (used == 15) break;
        int digit = (c >= '0' && c <= '9') ? c - '0' : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                         : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
        if (digit < 0) {
            used = 0;
            break;
        }
        value = value * 16 + digit;
        ++used;
    }
    if (used) return value;
    // Not hex: a stable hash (FNV-1a) of the whole id instead.
    uint64_t h = 1469598103934665603ull;
    for (char c : id) h = (h ^ (unsigned char)c) * 1099511628211ull;
    return (int64)(h & 0x7FFFFFFFFFFFFFFFull);
}

json Arg(const std::string& value) {
    json a = json::object();
    a["value"] = value;
    return a;
}

// What the render side's objects share: the pipe to the browser process and the
// DevTools session on the page.
//
// Threads: the main thread runs the message loop and the program's handlers, and
// uses the render-side browser, frame and DOM objects, as in any render process.
// The DevTools reader thread only updates `mainWorlds_`. `writeLock_` serialises
// pipe writes against each other and against closing the pipe; `worldLock_`
// guards `mainWorlds_` and the one write of `sessionId` (the reader compares it;
// the main thread, its only writer, reads it freely).
class RenderChannel {
public:
    RenderChannel(int browserId, const std::string& targetId, HANDLE parent)
        : browserId(browserId), targetId(targetId), parent_(parent) {
        writeEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~RenderChannel() {
        Shutdown();
        if (writeEvent_) CloseHandle(writeEvent_);
    }

    bool OpenPipe(const std::wstring& name) {
        pipe_ = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        return pipe_ != INVALID_HANDLE_VALUE;
    }

    bool AttachPage(int port, const std::string& browserPath) {
        devtools_.SetEventHandler([this](const std::string& method, const json& params, const std::string& session) {
            OnRuntimeEvent(method, params, session);
        });
        if (!devtools_.Connect(port, browserPath, 5000)) return false;
        json params = json::object();
        params["targetId"] = targetId;
        params["flatten"] = true;
        json result;
        if (!devtools_.Call("Target.attachToTarget", params, &result)) return false;
        std::string session = JsonString(result, "sessionId");
        if (session.empty()) return false;
        {
            std::lock_guard<std::mutex> lock(worldLock_);
            sessionId = session;
        }
        // The main worlds' contexts are followed for ExecuteJavaScript in inner frames;
        // the engine reports those that exist before it answers.
        json ignored;
        devtools_.Call("Runtime.enable", json::object(), &ignored, sessionId);
        return true;
    }

    bool Attached() const { return !sessionId.empty() && devtools_.IsOpen(); }

    bool Call(const char* method, const json& params, json* result) {
        if (sessionId.empty()) return false;
        return devtools_.Call(method, params, result, sessionId);
    }
    void Post(const char* method, const json& params) {
        if (!sessionId.empty()) devtools_.Send(method, params, sessionId);
    }

    // Frames of the page, the main frame first; false when the page cannot be reached.
    bool Frames(std::vector<FrameInfo>* out) {
        out->clear();
        json result;
        if (!Call("Page.getFrameTree", json::object(), &result)) return false;
        CollectFrames(JsonObject(result, "frameTree"), out);
        return !out->empty();
    }
    bool FindFrame(const std::string& id, FrameInfo* info) {
        std::vector<FrameInfo> frames;
        Frames(&frames);
        for (const FrameInfo& f : frames)
            if (f.id == id) {
                *info = f;
                return true;
            }
        return false;
    }

    int MainWorldOf(const std::string& frameId) {
        std::lock_guard<std::mutex> lock(worldLock_);
        auto it = mainWorlds_.find(frameId);
        return it == mainWorlds_.end() ? 0 : it->second;
    }

    // Writes one frame to the browser process; waits until the pipe took it.
    bool Write(const std::string& frame) {
        std::lock_guard<std::mutex> lock(writeLock_);
        if (pipe_ == INVALID_HANDLE_VALUE || !writeEvent_) return false;
        OVERLAPPED ov = {};
        ov.hEvent = writeEvent_;
        if (!WriteFile(pipe_, frame.data(), (DWORD)frame.size(), nullptr, &ov) && GetLastError() != ERROR_IO_PENDING)
            return false;
        HANDLE handles[2] = {writeEvent_, parent_};
        DWORD w = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        DWORD put = 0;
        if (w != WAIT_OBJECT_0) {  // the browser process is gone
            CancelIoEx(pipe_, &ov);
            GetOverlappedResult(pipe_, &ov, &put, TRUE);
            return false;
        }
        return GetOverlappedResult(pipe_, &ov, &put, FALSE) && put == frame.size();
    }

    // Reads from the pipe until a message arrives (true, with `messages` filled) or
    // the browser process or its pipe goes away (false).
    bool Receive(std::vector<CefRefPtr<CefProcessMessage>>* messages) {
        messages->clear();
        if (streamBroken_) return false;
        OVERLAPPED rd = {};
        rd.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!rd.hEvent) return false;
        std::vector<char> buffer(kPipeBuffer);
        bool ok = true;
        while (ok && messages->empty()) {
            if (!ReadFile(pipe_, buffer.data(), (DWORD)buffer.size(), nullptr, &rd) &&
                GetLastError() != ERROR_IO_PENDING) {
                ok = false;
                break;
            }
            HANDLE handles[2] = {rd.hEvent, parent_};
            DWORD w = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
            DWORD got = 0;
            if (w != WAIT_OBJECT_0) {
                CancelIoEx(pipe_, &rd);
                GetOverlappedResult(pipe_, &rd, &got, TRUE);
                ok = false;
                break;
            }
            if (!GetOverlappedResult(pipe_, &rd, &got, FALSE)) {
                ok = false;  // the browser closed its end
                break;
            }
            reader_.Append(buffer.data(), got);
            std::string body;
            bool broken = false;
            while (reader_.Next(&body, &broken)) {
                // A frame that does not decode is dropped; the stream itself is still whole.
                CefRefPtr<CefProcessMessage> message = DecodeProcessMessage(body.data(), body.size());
                if (message) messages->push_back(message);
            }
            if (broken) {
                streamBroken_ = true;
                ok = false;
            }
        }
        CloseHandle(rd.hEvent);
        return ok || !messages->empty();
    }

    void Shutdown() {
        devtools_.Close();
        std::lock_guard<std::mutex> lock(writeLock_);
        if (pipe_ != INVALID_HANDLE_VALUE) {
            CloseHandle(pipe_);
            pipe_ = INVALID_HANDLE_VALUE;
        }
    }

    const int browserId;
    const std::string targetId;
    std::string sessionId;

private:
    static void CollectFrames(const json& node, std::vector<FrameInfo>* out) {
        const json& frame = JsonObject(node, "frame");
        if (!frame.is_object()) return;
        FrameInfo info;
        info.id = JsonString(frame, "id");
        info.parentId = JsonString(frame, "parentId");
        info.name = JsonString(frame, "name");
        info.url = JsonString(frame, "url") + JsonString(frame, "urlFragment");
        out->push_back(info);
        const json& children = JsonObject(node, "childFrames");
        if (children.is_array())
            for (const json& child : children) CollectFrames(child, out);
    }

    void OnRuntimeEvent(const std::string& method, const json& params, const std::string& session) {
        std::lock_guard<std::mutex> lock(worldLock_);
        if (session.empty() || session != sessionId) return;
        if (method == "Runtime.executionContextCreated") {
            const json& context = JsonObject(params, "context");
            const json& aux = JsonObject(context, "auxData");
            std::string frameId = JsonString(aux, "frameId");
            if (!frameId.empty() && JsonBool(aux, "isDefault")) mainWorlds_[frameId] = JsonInt(context, "id");
        } else if (method == "Runtime.executionContextDestroyed") {
            int id = JsonInt(params, "executionContextId");
            for (auto it = mainWorlds_.begin(); it != mainWorlds_.end();)
                it = it->second == id ? mainWorlds_.erase(it) : std::next(it);
        } else if (method == "Runtime.executionContextsCleared") {
            mainWorlds_.clear();
        }
    }

    DevToolsConnection devtools_;
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE parent_;
    HANDLE writeEvent_ = nullptr;
    std::mutex writeLock_;
    WireReader reader_;  // main thread only
    bool streamBroken_ = false;  // main thread only
    std::mutex worldLock_;
    std::unordered_map<std::string, int> mainWorlds_;
};

// ---- Document access -------------------------------------------------------

// One visit: the context the document is read in and the object group that holds
// the visit's remote objects, released when the visit ends. Nodes and the document
// stop answering once `valid` is cleared.
struct VisitScope {
    std::shared_ptr<RenderChannel> channel;
    int contextId = 0;
    std::string group;
    std::atomic<bool> valid{true};

    // Calls `fn` with `this` bound to the remote object; `*value` is the result object.
    bool CallOn(const std::string& objectId, const char* fn, const json& args, bool byValue, json* value) {
        if (!valid || objectId.empty()) return false;
        json params = json::object();
        params["functionDeclaration"] = fn;
        params["objectId"] = objectId;
        params["arguments"] = args;
        params["returnByValue"] = byValue;
        params["objectGroup"] = group;
        params["silent"] = true;
        json result;
        if (!channel->Call("Runtime.callFunctionOn", params, &result)) return false;
        if (result.contains("exceptionDetails")) return false;
        *value = JsonObject(result, "result");
        return true;
    }
    std::string String(const std::string& objectId, const char* fn, const json& args = json::array()) {
        json v;
        return CallOn(objectId, fn, args, true, &v) ? JsonString(v, "value") : std::string();
    }
    bool Bool(const std::string& objectId, const char* fn, const json& args = json::array()) {
        json v;
        return CallOn(objectId, fn, args, true, &v) && JsonBool(v, "value");
    }
    int Int(const std::string& objectId, const char* fn) {
        json v;
        return CallOn(objectId, fn, json::array(), true, &v) ? JsonInt(v, "value") : 0;
    }
    // The remote object id of the node `fn` returns; empty for null.
    std::string Object(const std::string& objectId, const char* fn, const json& args = json::array()) {
        json v;
        return CallOn(objectId, fn, args, false, &v) ? JsonString(v, "objectId") : std::string();
    }
};

class DomDocument;

class DomNode : public CefDOMNode {
public:
    DomNode(std::shared_ptr<VisitScope> scope, CefRefPtr<CefDOMDocument> document, const std::string& objectId)
        : scope_(std::move(scope)), document_(document), objectId_(objectId) {}

    const std::string& objectId() const { return objectId_; }

    Type GetType() override {
        switch (scope_->Int(objectId_, "function(){return this.nodeType;}")) {
            case 1: return DOM_NODE_TYPE_ELEMENT;
            case 2: return DOM_NODE_TYPE_ATTRIBUTE;
            case 3: return DOM_NODE_TYPE_TEXT;
            case 4: return DOM_NODE_TYPE_CDATA_SECTION;
            case 7: return DOM_NODE_TYPE_PROCESSING_INSTRUCTIONS;
            case 8: return DOM_NODE_TYPE_COMMENT;
            case 9: return DOM_NODE_TYPE_DOCUMENT;
            case 10: return DOM_NODE_TYPE_DOCUMENT_TYPE;
            case 11: return DOM_NODE_TYPE_DOCUMENT_FRAGMENT;
            default: return DOM_NODE_TYPE_UNSUPPORTED;
        }
    }
    bool IsText() override { return GetType() == DOM_NODE_TYPE_TEXT; }
    bool IsElement() override { return GetType() == DOM_NODE_TYPE_ELEMENT; }
    bool IsEditable() override {
        return scope_->Bool(objectId_,
                            "function(){if(this.nodeType!==1)return false;if(this.isContentEditable)return true;"
                            "var t=this.tagName;return (t==='INPUT'||t==='TEXTAREA')&&!this.readOnly&&!this.disabled;}");
    }
    bool IsFormControlElement() override {
        return scope_->Bool(objectId_,
                            "function(){return this.nodeType===1&&/^(BUTTON|FIELDSET|INPUT|OUTPUT|SELECT|TEXTAREA)$/"
                            ".test(this.tagName);}");
    }
    bool IsSame(CefRefPtr<CefDOMNode> that) override {
        DomNode* other = dynamic_cast<DomNode*>(that.get());
        if (!other) return false;
        json arg = json::object();
        arg["objectId"] = other->objectId_;
        return scope_->Bool(objectId_, "function(o){return this===o;}", json::array({arg}));
    }
    CefString GetName() override { return Text("function(){return this.nodeName;}"); }
    CefString GetValue() override {
        return Text("function(){if(this.nodeType===1&&/^(INPUT|SELECT|TEXTAREA|BUTTON|OUTPUT)$/.test(this.tagName))"
                    "return String(this.value);return this.nodeValue===null?'':String(this.nodeValue);}");
    }
    CefString GetAsMarkup() override {
        return Text("function(){return this.nodeType===1?this.outerHTML:new XMLSerializer().serializeToString(this);}");
    }
    CefRefPtr<CefDOMDocument> GetDocument() override { return scope_->valid ? document_ : nullptr; }
    CefRefPtr<CefDOMNode> GetParent() override { return Node("function(){return this.parentNode;}"); }
    bool HasChildren() override { return scope_->Bool(objectId_, "function(){return this.hasChildNodes();}"); }
    CefString GetElementTagName() override {
        return Text("function(){return this.nodeType===1?this.tagName:'';}");
    }
    bool HasElementAttribute(const CefString& attrName) override {
        return scope_->Bool(objectId_, "function(n){return this.nodeType===1&&this.hasAttribute(n);}",
                            json::array({Arg(attrName.ToString())}));
    }
    CefString GetElementAttribute(const CefString& attrName) override {
        return CefString(scope_->String(objectId_,
                                        "function(n){var v=this.nodeType===1?this.getAttribute(n):null;"
                                        "return v===null?'':v;}",
                                        json::array({Arg(attrName.ToString())})));
    }
    // The text as rendered (innerText); elements without it give their text content.
    CefString GetElementInnerText() override {
        return Text("function(){if(this.nodeType!==1)return '';var t=this.innerText;"
                    "return typeof t==='string'?t:(this.textContent||'');}");
    }

    CefRefPtr<CefDOMNode> Node(const char* fn, const json& args = json::array()) {
        std::string id = scope_->Object(objectId_, fn, args);
        if (id.empty()) return nullptr;
        return new DomNode(scope_, document_, id);
    }

private:
    CefString Text(const char* fn) { return CefString(scope_->String(objectId_, fn)); }

    std::shared_ptr<VisitScope> scope_;
    CefRefPtr<CefDOMDocument> document_;
    std::string objectId_;
    IMPLEMENT_REFCOUNTING(DomNode);
};

class DomDocument : public CefDOMDocument {
public:
    DomDocument(std::shared_ptr<VisitScope> scope, const std::string& objectId)
        : scope_(std::move(scope)), objectId_(objectId) {}

    Type GetType() override {
        std::string type = Text("function(){return this.contentType||'';}").ToString();
        if (type == "text/html") return DOM_DOCUMENT_TYPE_HTML;
        if (type == "application/xhtml+xml") return DOM_DOCUMENT_TYPE_XHTML;
        return DOM_DOCUMENT_TYPE_UNKNOWN;
    }
    // The document node does not hold the document back, so nothing keeps itself alive.
    CefRefPtr<CefDOMNode> GetDocument() override { return Node("function(){return this;}"); }
    CefRefPtr<CefDOMNode> GetBody() override { return Node("function(){return this.body;}"); }
    CefRefPtr<CefDOMNode> GetHead() override { return Node("function(){return this.head;}"); }
    CefString GetTitle() override { return Text("function(){return this.title;}"); }
    CefRefPtr<CefDOMNode> GetElementById(const CefString& id) override {
        return Node("function(i){return this.getElementById(i);}", json::array({Arg(id.ToString())}));
    }
    CefRefPtr<CefDOMNode> GetFocusedNode() override { return Node("function(){return this.activeElement;}"); }
    bool HasSelection() override {
        return scope_->Bool(objectId_,
                            "function(){var s=this.getSelection();return !!s&&s.rangeCount>0&&!s.isCollapsed;}");
    }
    CefString GetSelectionAsText() override {
        return Text("function(){var s=this.getSelection();return s?String(s):'';}");
    }
    CefString GetBaseURL() override { return Text("function(){return this.baseURI||'';}"); }
    CefString GetCompleteURL(const CefString& partialURL) override {
        return CefString(scope_->String(objectId_,
                                        "function(p){try{return new URL(p,this.baseURI).href;}catch(e){return '';}}",
                                        json::array({Arg(partialURL.ToString())})));
    }

private:
    CefString Text(const char* fn) { return CefString(scope_->String(objectId_, fn)); }
    CefRefPtr<CefDOMNode> Node(const char* fn, const json& args = json::array()) {
        std::string id = scope_->Object(objectId_, fn, args);
        if (id.empty()) return nullptr;
        return new DomNode(scope_, this, id);
    }

    std::shared_ptr<VisitScope> scope_;
    std::string objectId_;
    IMPLEMENT_REFCOUNTING(DomDocument);
};

// ---- Browser and frames ----------------------------------------------------

class RenderBrowser;

class RenderFrame : public CefFrame {
public:
    RenderFrame(std::shared_ptr<RenderChannel> channel, CefRefPtr<CefBrowser> browser, const FrameInfo& info)
        : channel_(std::move(channel)), browser_(browser), info_(info) {}

    bool IsValid() override {
        FrameInfo now;
        return channel_->FindFrame(info_.id, &now);
    }
    void LoadURL(const CefString& url) override {
        json params = json::object();
        params["url"] = url.ToString();
        params["frameId"] = info_.id;
        channel_->Post("Page.navigate", params);
    }
    void ExecuteJavaScript(const CefString& code, const CefString& script_url, int start_line) override {
        json params = json::object();
        std::string source = code.ToString();
        if (!script_url.empty()) source += "\n//# sourceURL=" + script_url.ToString();
        params["expression"] = source;
        params["silent"] = true;
        int context = channel_->MainWorldOf(info_.id);
        if (context) params["contextId"] = context;
        else if (!IsMain()) return;  // no place to run it yet
        channel_->Post("Runtime.evaluate", params);
    }
    bool IsMain() override { return info_.parentId.empty(); }
    // A headless page has no focus of its own to report; its main frame stands for it.
    bool IsFocused() override { return IsMain(); }
    CefString GetName() override { return CefString(info_.name); }
    int64 GetIdentifier() override { return FrameIdentifier(info_.id); }
    CefRefPtr<CefFrame> GetParent() override {
        if (info_.parentId.empty()) return nullptr;
        FrameInfo parent;
        if (!channel_->FindFrame(info_.parentId, &parent)) return nullptr;
        return new RenderFrame(channel_, browser_, parent);
    }
    CefString GetURL() override {
        FrameInfo now;
        if (channel_->FindFrame(info_.id, &now)) info_.url = now.url;
        return CefString(info_.url);
    }
    CefRefPtr<CefBrowser> GetBrowser() override { return browser_; }

    // Runs the visitor on the frame's current document before returning. The document
    // is read from a world of our own, so page scripts that replace DOM methods do
    // not change what is read.
    void VisitDOM(CefRefPtr<CefDOMVisitor> visitor) override {
        if (!visitor) return;
        json params = json::object();
        params["frameId"] = info_.id;
        params["worldName"] = kDomWorld;
        json world;
        if (!channel_->Call("Page.createIsolatedWorld", params, &world)) return;
        auto scope = std::make_shared<VisitScope>();
        scope->channel = channel_;
        scope->contextId = JsonInt(world, "executionContextId");
        static std::atomic<unsigned> visits(0);
        scope->group = "vornmark-visit-" + std::to_string(++visits);
        if (!scope->contextId) return;

        json evaluate = json::object();
        evaluate["expression"] = "document";
        evaluate["contextId"] = scope->contextId;
        evaluate["objectGroup"] = scope->group;
        evaluate["returnByValue"] = false;
        evaluate["silent"] = true;
        json result;
        std::string documentId;
        if (channel_->Call("Runtime.evaluate", evaluate, &result) && !result.contains("exceptionDetails"))
            documentId = JsonString(JsonObject(result, "result"), "objectId");
        if (!documentId.empty()) {
            CefRefPtr<CefDOMDocument> document = new DomDocument(scope, documentId);
            visitor->Visit(document);
        }
        scope->valid = false;
        json release = json::object();
        release["objectGroup"] = scope->group;
        channel_->Post("Runtime.releaseObjectGroup", release);
    }

private:
    std::shared_ptr<RenderChannel> channel_;
    CefRefPtr<CefBrowser> browser_;
    FrameInfo info_;
    IMPLEMENT_REFCOUNTING(RenderFrame);
};

class RenderBrowser : public CefBrowser {
public:
    explicit RenderBrowser(std::shared_ptr<RenderChannel> channel) : channel_(std::move(channel)) {}

    // The host lives in the browser process only.
    CefRefPtr<CefBrowserHost> GetHost() override { return nullptr; }
    bool CanGoBack() override { return HistoryStep(-1, false); }
    void GoBack() override { HistoryStep(-1, true); }
    bool CanGoForward() override { return HistoryStep(1, false); }
    void GoForward() override { HistoryStep(1, true); }
    bool IsLoading() override {
        json params = json::object();
        params["expression"] = "document.readyState!=='complete'";
        params["returnByValue"] = true;
        params["silent"] = true;
        json result;
        return channel_->Call("Runtime.evaluate", params, &result) && JsonBool(JsonObject(result, "result"), "value");
    }
    void Reload() override { channel_->Post("Page.reload", json::object()); }
    void ReloadIgnoreCache() override {
        json params = json::object();
        params["ignoreCache"] = true;
        channel_->Post("Page.reload", params);
    }
    void StopLoad() override { channel_->Post("Page.stopLoading", json::object()); }
    int GetIdentifier() override { return channel_->browserId; }
    bool IsSame(CefRefPtr<CefBrowser> that) override { return that && that->GetIdentifier() == GetIdentifier(); }
    bool IsPopup() override { return false; }
    bool HasDocument() override { return channel_->Attached(); }

    CefRefPtr<CefFrame> GetMainFrame() override {
        std::vector<FrameInfo> frames;
        if (!channel_->Frames(&frames)) return nullptr;
        return new RenderFrame(channel_, this, frames.front());
    }
    CefRefPtr<CefFrame> GetFocusedFrame() override { return GetMainFrame(); }
    CefRefPtr<CefFrame> GetFrame(int64 identifier) override {
        std::vector<FrameInfo> frames;
        channel_->Frames(&frames);
        for (const FrameInfo& f : frames)
            if (FrameIdentifier(f.id) == identifier) return new RenderFrame(channel_, this, f);
        return nullptr;
    }
    CefRefPtr<CefFrame> GetFrame(const CefString& name) override {
        std::vector<FrameInfo> frames;
        channel_->Frames(&frames);
        // An empty name asks for the main frame.
        if (name.empty()) return frames.empty() ? nullptr : new RenderFrame(channel_, this, frames.front());
        std::string wanted = name.ToString();
        for (const FrameInfo& f : frames)
            if (f.name == wanted) return new RenderFrame(channel_, this, f);
        return nullptr;
    }
    size_t GetFrameCount() override {
        std::vector<FrameInfo> frames;
        channel_->Frames(&frames);
        return frames.size();
    }
    void GetFrameIdentifiers(std::vector<int64>& identifiers) override {
        identifiers.clear();
        std::vector<FrameInfo> frames;
        channel_->Frames(&frames);
        for (const FrameInfo& f : frames) identifiers.push_back(FrameIdentifier(f.id));
    }
    void GetFrameNames(std::vector<CefString>& names) override {
        names.clear();
        std::vector<FrameInfo> frames;
        channel_->Frames(&frames);
        for (const FrameInfo& f : frames) names.push_back(CefString(f.name));
    }
    bool SendProcessMessage(CefProcessId target_process, CefRefPtr<CefProcessMessage> message) override {
        if (target_process != PID_BROWSER || !message) return false;
        std::string frame = EncodeProcessMessage(message);
        return !frame.empty() && channel_->Write(frame);  // empty: too large to send
    }

private:
    bool HistoryStep(int step, bool go) {
        json history;
        if (!channel_->Call("Page.getNavigationHistory", json::object(), &history)) return false;
        const json& entries = JsonObject(history, "entries");
        int index = JsonInt(history, "currentIndex", -1) + step;
        if (!entries.is_array() || index < 0 || index >= (int)entries.size()) return false;
        if (go) {
            json params = json::object();
            params["entryId"] = JsonInt(entries[index], "id");
            channel_->Post("Page.navigateToHistoryEntry", params);
        }
        return true;
    }

    std::shared_ptr<RenderChannel> channel_;
    IMPLEMENT_REFCOUNTING(RenderBrowser);
};

}  // namespace

int RunRenderProcess(const CefMainArgs& args, CefRefPtr<CefApp> app, CefRefPtr<CefCommandLine> commandLine) {
    if (!commandLine) return 0;
    std::wstring pipeName = commandLine->GetSwitchValue(kRendererPipeSwitch).ToWString();
    DWORD parentPid = wcstoul(commandLine->GetSwitchValue(kRendererParentSwitch).c_str(), nullptr, 10);
    if (pipeName.empty() || !parentPid) return 0;

    // Without its browser process a renderer has nothing to do, so it watches it.
    HANDLE parent = OpenProcess(SYNCHRONIZE, FALSE, parentPid);
    if (!parent) return 0;

    int browserId = _wtoi(commandLine->GetSwitchValue(kRendererBrowserIdSwitch).c_str());
    std::string targetId = commandLine->GetSwitchValue(kRendererTargetSwitch).ToString();
    auto channel = std::make_shared<RenderChannel>(browserId, targetId, parent);
    if (channel->OpenPipe(pipeName)) {
        int port = _wtoi(commandLine->GetSwitchValue(kRendererDevToolsPortSwitch).c_str());
        std::string browserPath = commandLine->GetSwitchValue(kRendererDevToolsPathSwitch).ToString();
        // Without the page the renderer still takes messages; its documents are then unreachable.
        if (port > 0 && !targetId.empty()) channel->AttachPage(port, browserPath);

        CefRefPtr<CefRenderProcessHandler> handler = app ? app->GetRenderProcessHandler() : nullptr;
        CefRefPtr<CefBrowser> browser = new RenderBrowser(channel);
        if (handler) {
            handler->OnRenderThreadCreated(CefListValue::Create());
            handler->OnWebKitInitialized();
            handler->OnBrowserCreated(browser);
        }
        std::vector<CefRefPtr<CefProcessMessage>> messages;
        while (channel->Receive(&messages)) {
            for (CefRefPtr<CefProcessMessage>& message : messages)
                if (handler) handler->OnProcessMessageReceived(browser, PID_BROWSER, message);
        }
        if (handler) handler->OnBrowserDestroyed(browser);
    }
    // Objects the program may still hold fail quietly from here on.
    channel->Shutdown();
    channel.reset();
    CloseHandle(parent);
    return 0;
}

}  // namespace cef_internal
