// Navigation, resource loading and renderer notifications of a browser.
#pragma once

#include "include/cef_base.h"
#include "include/cef_browser.h"
#include "include/cef_request.h"
#include "include/cef_response.h"
#include "include/internal/cef_types.h"

class CefResourceHandler : public virtual CefBase {};
class CefResponseFilter : public virtual CefBase {};
class CefSSLInfo : public virtual CefBase {};

class CefRequestCallback : public virtual CefBase {
public:
    virtual void Continue(bool allow) = 0;
    virtual void Cancel() = 0;
};

class CefAuthCallback : public virtual CefBase {
public:
    virtual void Continue(const CefString& username, const CefString& password) = 0;
    virtual void Cancel() = 0;
};

class CefRequestHandler : public virtual CefBase {
public:
    typedef cef_return_value_t ReturnValue;
    typedef cef_termination_status_t TerminationStatus;
    typedef cef_urlrequest_status_t URLRequestStatus;
    typedef cef_window_open_disposition_t WindowOpenDisposition;

    virtual bool OnBeforeBrowse(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame,
                                CefRefPtr<CefRequest> request, bool is_redirect) {
        return false;
    }
    virtual bool OnOpenURLFromTab(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame,
                                  const CefString& target_url, WindowOpenDisposition target_disposition,
                                  bool user_gesture) {
        return false;
    }
    virtual ReturnValue OnBeforeResourceLoad(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame,
                                             CefRefPtr<CefRequest> request,
                                             CefRefPtr<CefRequestCallback> callback) {
        return RV_CONTINUE;
    }
    virtual CefRefPtr<CefResourceHandler> GetResourceHandler(CefRefPtr<CefBrowser> browser,
                                                             CefRefPtr<CefFrame> frame,
                                                             CefRefPtr<CefRequest> request) {
        return nullptr;
    }
    virtual void OnResourceRedirect(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame,
                                    CefRefPtr<CefRequest> request, CefString& new_url) {}
    virtual bool OnResourceResponse(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame,
                                    CefRefPtr<CefRequest> request, CefRefPtr<CefResponse> response) {
        return false;
    }
    virtual CefRefPtr<CefResponseFilter> GetResourceResponseFilter(CefRefPtr<CefBrowser> browser,
                                                                   CefRefPtr<CefFrame> frame,
                                                                   CefRefPtr<CefRequest> request,
                                                                   CefRefPtr<CefResponse> response) {
        return nullptr;
    }
    virtual void OnResourceLoadComplete(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame,
                                        CefRefPtr<CefRequest> request, CefRefPtr<CefResponse> response,
                                        URLRequestStatus status, int64 received_content_length) {}
    virtual bool GetAuthCredentials(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame, bool isProxy,
                                    const CefString& host, int port, const CefString& realm,
                                    const CefString& scheme, CefRefPtr<CefAuthCallback> callback) {
        return false;
    }
    virtual bool OnQuotaRequest(CefRefPtr<CefBrowser> browser, const CefString& origin_url, int64 new_size,
                                CefRefPtr<CefRequestCallback> callback) {
        return false;
    }
    virtual void OnProtocolExecution(CefRefPtr<CefBrowser> browser, const CefString& url,
                                     bool& allow_os_execution) {}
    virtual bool OnCertificateError(CefRefPtr<CefBrowser> browser, cef_errorcode_t cert_error,
                                    const CefString& request_url, CefRefPtr<CefSSLInfo> ssl_info,
                                    CefRefPtr<CefRequestCallback> callback) {
        return false;
    }
    virtual void OnPluginCrashed(CefRefPtr<CefBrowser> browser, const CefString& plugin_path) {}
    virtual void OnRenderViewReady(CefRefPtr<CefBrowser> browser) {}
    virtual void OnRenderProcessTerminated(CefRefPtr<CefBrowser> browser, TerminationStatus status) {}
};
