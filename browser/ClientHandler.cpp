#include "browser/ClientHandler.h"

ClientHandler::ClientHandler() {}

ClientHandler::~ClientHandler() {}

bool ClientHandler::OnProcessMessageReceived(CefRefPtr<CefBrowser> browser, CefProcessId source_process,
                                             CefRefPtr<CefProcessMessage> message) {
    if (!processMessageCallback) return false;
    return processMessageCallback(browser, source_process, message);
}

void ClientHandler::OnTitleChange(CefRefPtr<CefBrowser> browser, const CefString& title) {
    if (titleChangeCallback) titleChangeCallback(title);
}

void ClientHandler::OnLoadStart(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame) {
    if (loadStartCallback) loadStartCallback(browser, frame);
}

void ClientHandler::OnLoadEnd(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame, int httpStatusCode) {
    if (loadEndCallback) loadEndCallback(browser, frame, httpStatusCode);
}

bool ClientHandler::OnBeforePopup(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame,
                                  const CefString& target_url, const CefString& target_frame_name,
                                  CefLifeSpanHandler::WindowOpenDisposition target_disposition, bool user_gesture,
                                  const CefPopupFeatures& popupFeatures, CefWindowInfo& windowInfo,
                                  CefRefPtr<CefClient>& client, CefBrowserSettings& settings,
                                  bool* no_javascript_access) {
    // Unbound, a popup is simply suppressed.
    if (!beforePopupCallback) return true;
    if (!popupGate.Admit(user_gesture, IsOwnHostAddress(target_url.ToWString()), GetTickCount())) return true;
    return beforePopupCallback(target_url, windowInfo, client, settings);
}

void ClientHandler::OnAfterCreated(CefRefPtr<CefBrowser> browser) {
    browserList.push_back(browser);
    std::lock_guard<std::mutex> guard(browserLock);
    currentBrowser = browser;
}

bool ClientHandler::DoClose(CefRefPtr<CefBrowser> browser) { return false; }

void ClientHandler::OnBeforeClose(CefRefPtr<CefBrowser> browser) {
    for (auto it = browserList.begin(); it != browserList.end(); ++it) {
        if ((*it)->IsSame(browser)) {
            browserList.erase(it);
            break;
        }
    }
}

void ClientHandler::OnBeforeContextMenu(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame,
                                        CefRefPtr<CefContextMenuParams> params, CefRefPtr<CefMenuModel> model) {
    model->Clear();  // an empty model: no context menu anywhere in the page
}

bool ClientHandler::OnContextMenuCommand(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame,
                                         CefRefPtr<CefContextMenuParams> params, int command_id,
                                         CefContextMenuHandler::EventFlags event_flags) {
    return true;
}

CefRefPtr<CefBrowser> ClientHandler::GetBrowser() {
    std::lock_guard<std::mutex> guard(browserLock);
    return currentBrowser;
}
