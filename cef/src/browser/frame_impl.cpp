// The browser-process frame: what the client holds of one frame of a page. Its
// fields follow the engine's reports on the UI thread and are read from anywhere.
#include "src/browser/frame_impl.h"

#include "src/browser/browser_impl.h"

namespace cef_internal {

FrameImpl::FrameImpl(BrowserImpl* browser, int64 identifier, bool isMain)
    : browser_(browser), identifier_(identifier), isMain_(isMain) {}

bool FrameImpl::IsValid() {
    std::lock_guard<std::mutex> guard(lock_);
    return valid_;
}

void FrameImpl::LoadURL(const CefString& url) {
    CefRefPtr<BrowserImpl> b;
    std::string id;
    {
        std::lock_guard<std::mutex> guard(lock_);
        b = browser_;
        id = isMain_ ? std::string() : engineId_;
    }
    if (b) b->Navigate(url.ToString(), id);
}

void FrameImpl::ExecuteJavaScript(const CefString& code, const CefString& script_url, int start_line) {
    CefRefPtr<BrowserImpl> b;
    std::string id;
    {
        std::lock_guard<std::mutex> guard(lock_);
        b = browser_;
        id = isMain_ ? std::string() : engineId_;
    }
    if (b) b->Evaluate(code.ToString(), id);
}

CefString FrameImpl::GetName() {
    std::lock_guard<std::mutex> guard(lock_);
    return CefString(name_);
}

CefRefPtr<CefFrame> FrameImpl::GetParent() {
    std::lock_guard<std::mutex> guard(lock_);
    return parent_.get();
}

CefString FrameImpl::GetURL() {
    std::lock_guard<std::mutex> guard(lock_);
    return CefString(url_);
}

CefRefPtr<CefBrowser> FrameImpl::GetBrowser() {
    std::lock_guard<std::mutex> guard(lock_);
    return browser_.get();
}

void FrameImpl::Update(const std::string& engineId, const std::string& url, const std::string& name,
                       CefRefPtr<FrameImpl> parent) {
    CEF_REQUIRE_UI_THREAD();
    std::lock_guard<std::mutex> guard(lock_);
    engineId_ = engineId;
    url_ = url;
    name_ = name;
    parent_ = parent;
}

void FrameImpl::SetURL(const std::string& url) {
    CEF_REQUIRE_UI_THREAD();
    std::lock_guard<std::mutex> guard(lock_);
    url_ = url;
}

void FrameImpl::Invalidate() {
    CEF_REQUIRE_UI_THREAD();
    CefRefPtr<BrowserImpl> b;
    CefRefPtr<FrameImpl> p;
    {
        std::lock_guard<std::mutex> guard(lock_);
        valid_ = false;
        b.swap(browser_);
        p.swap(parent_);
    }
}

std::string FrameImpl::EngineId() {
    CEF_REQUIRE_UI_THREAD();
    std::lock_guard<std::mutex> guard(lock_);
    return engineId_;
}

}  // namespace cef_internal
