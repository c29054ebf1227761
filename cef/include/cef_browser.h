// Browsers, their frames and their host windows.
#pragma once

#include <vector>
#include <windows.h>
#include "include/cef_base.h"
#include "include/cef_dom.h"
#include "include/cef_process_message.h"
#include "include/cef_request_context.h"
#include "include/internal/cef_types.h"
#include "include/internal/cef_types_wrappers.h"
#include "include/internal/cef_win.h"

class CefBrowserHost;
class CefClient;
class CefFrame;

class CefBrowser : public virtual CefBase {
public:
    virtual CefRefPtr<CefBrowserHost> GetHost() = 0;
    virtual bool CanGoBack() = 0;
    virtual void GoBack() = 0;
    virtual bool CanGoForward() = 0;
    virtual void GoForward() = 0;
    virtual bool IsLoading() = 0;
    virtual void Reload() = 0;
    virtual void ReloadIgnoreCache() = 0;
    virtual void StopLoad() = 0;
    virtual int GetIdentifier() = 0;
    virtual bool IsSame(CefRefPtr<CefBrowser> that) = 0;
    virtual bool IsPopup() = 0;
    virtual bool HasDocument() = 0;
    virtual CefRefPtr<CefFrame> GetMainFrame() = 0;
    virtual CefRefPtr<CefFrame> GetFocusedFrame() = 0;
    virtual CefRefPtr<CefFrame> GetFrame(int64 identifier) = 0;
    virtual CefRefPtr<CefFrame> GetFrame(const CefString& name) = 0;
    virtual size_t GetFrameCount() = 0;
    virtual void GetFrameIdentifiers(std::vector<int64>& identifiers) = 0;
    virtual void GetFrameNames(std::vector<CefString>& names) = 0;
    virtual bool SendProcessMessage(CefProcessId target_process, CefRefPtr<CefProcessMessage> message) = 0;
};

class CefFrame : public virtual CefBase {
public:
    virtual bool IsValid() = 0;
    virtual void LoadURL(const CefString& url) = 0;
    virtual void ExecuteJavaScript(const CefString& code, const CefString& script_url, int start_line) = 0;
    virtual bool IsMain() = 0;
    virtual bool IsFocused() = 0;
    virtual CefString GetName() = 0;
    virtual int64 GetIdentifier() = 0;
    virtual CefRefPtr<CefFrame> GetParent() = 0;
    virtual CefString GetURL() = 0;
    virtual CefRefPtr<CefBrowser> GetBrowser() = 0;
    // Render process only: runs the visitor synchronously on the frame's live document.
    virtual void VisitDOM(CefRefPtr<CefDOMVisitor> visitor) = 0;
};

class CefBrowserHost : public virtual CefBase {
public:
    // Creates a windowed browser asynchronously on the engine UI thread; the client's
    // OnAfterCreated reports it. False when the request could not be queued.
    static bool CreateBrowser(const CefWindowInfo& windowInfo, CefRefPtr<CefClient> client, const CefString& url,
                              const CefBrowserSettings& settings, CefRefPtr<CefRequestContext> request_context);
    // The same, synchronously; only on the engine UI thread (null elsewhere or on failure).
    static CefRefPtr<CefBrowser> CreateBrowserSync(const CefWindowInfo& windowInfo, CefRefPtr<CefClient> client,
                                                   const CefString& url, const CefBrowserSettings& settings,
                                                   CefRefPtr<CefRequestContext> request_context);

    virtual CefRefPtr<CefBrowser> GetBrowser() = 0;
    virtual void CloseBrowser(bool force_close) = 0;
    virtual void SetFocus(bool focus) = 0;
    virtual HWND GetWindowHandle() = 0;
    virtual HWND GetOpenerWindowHandle() = 0;
    virtual CefRefPtr<CefClient> GetClient() = 0;
    virtual CefRefPtr<CefRequestContext> GetRequestContext() { return nullptr; }
    virtual void WasResized() = 0;
};
