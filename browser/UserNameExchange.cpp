#include "browser/UserNameExchange.h"

#include <cstring>
#include "base/Text.h"
#include "browser/DOMVisitor.h"

namespace username {

const wchar_t kMessageName[] = L"velmar_msg";
const wchar_t kGetUser[] = L"getuser";
const wchar_t kLoginElementId[] = L"login_user";
const wchar_t kRequestPage[] = L"xf.html";

namespace {

bool IsExchangeMessage(const CefRefPtr<CefProcessMessage>& message) {
    return message && message->GetName() == CefString(kMessageName);
}

}  // namespace

bool IsRequestPage(const std::wstring& address) { return address.find(kRequestPage) != std::wstring::npos; }

CefRefPtr<CefProcessMessage> MakeRequest() {
    CefRefPtr<CefProcessMessage> request = CefProcessMessage::Create(kMessageName);
    CefRefPtr<CefListValue> args = request->GetArgumentList();
    args->SetSize(1);
    args->SetString(0, kGetUser);
    return request;
}

bool ReadAnswer(CefRefPtr<CefProcessMessage> message, std::wstring* name) {
    if (!IsExchangeMessage(message)) return false;
    CefRefPtr<CefListValue> args = message->GetArgumentList();
    if (!args || args->GetSize() != 2 || args->GetString(0) != CefString(kGetUser)) return false;
    if (name) *name = args->GetString(1).ToWString();
    return true;
}

CefRefPtr<CefProcessMessage> MakeAnswer(const char* nameUtf8) {
    CefRefPtr<CefProcessMessage> answer = CefProcessMessage::Create(kMessageName);
    CefRefPtr<CefListValue> args = answer->GetArgumentList();
    args->SetSize(2);
    args->SetString(0, kGetUser);
    args->SetString(1, CefString(nameUtf8 ? nameUtf8 : ""));  // CefString reads char text as UTF-8
    return answer;
}

bool ReadLoginUser(CefRefPtr<CefDOMDocument> document, std::string* nameUtf8) {
    CefRefPtr<CefDOMNode> element = document ? document->GetElementById(kLoginElementId) : nullptr;
    if (!element) return false;
    if (!nameUtf8) return true;
    std::string text = element->GetElementInnerText().ToString();
    text.resize(strlen(text.c_str()));  // up to an embedded NUL, as a C string copy would
    base::CutUtf8(text, kNameBytes - 1);
    *nameUtf8 = text;
    return true;
}

bool HandleRequest(CefRefPtr<CefBrowser> browser, CefProcessId source, CefRefPtr<CefProcessMessage> message,
                   const std::function<void(CefRefPtr<CefDOMDocument>)>& readPage,
                   const std::function<std::string()>& storedName) {
    if (source != PID_BROWSER || !IsExchangeMessage(message)) return false;
    CefRefPtr<CefListValue> args = message->GetArgumentList();
    if (!args || args->GetSize() == 0 || args->GetString(0) != CefString(kGetUser)) return true;

    // The name is on the main document, whichever frame's load prompted the request.
    CefRefPtr<CefFrame> mainFrame = browser ? browser->GetMainFrame() : nullptr;
    if (!mainFrame) return true;
    // The visit runs to its end before VisitDOM returns (the renderer's DOM is synchronous).
    mainFrame->VisitDOM(new CDOMVisitor(readPage));

    std::string name = storedName ? storedName() : std::string();
    if (!name.empty()) browser->SendProcessMessage(PID_BROWSER, MakeAnswer(name.c_str()));
    return true;
}

}  // namespace username
