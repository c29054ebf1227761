#include "src/render/render_browser.h"

#include "src/render/render_channel.h"
#include "src/render/render_dom.h"

using nlohmann::json;

namespace cef_internal {
namespace {

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

    // Runs the visitor on the frame's current document before returning.
    void VisitDOM(CefRefPtr<CefDOMVisitor> visitor) override { VisitFrameDocument(channel_, info_.id, visitor); }

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

CefRefPtr<CefBrowser> CreateRenderBrowser(std::shared_ptr<RenderChannel> channel) {
    return new RenderBrowser(std::move(channel));
}

}  // namespace cef_internal
