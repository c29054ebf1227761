// The user-name exchange, render side: the browser process asks with
// "velmar_msg" ["getuser"]; the renderer reads the page's "login_user" element
// and answers "velmar_msg" ["getuser", name].
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include "app/GameApp.h"
#include "browser/DOMVisitor.h"
#include "include/cef_browser.h"

namespace {

const wchar_t kMessageName[] = L"velmar_msg";
const wchar_t kGetUser[] = L"getuser";

// Copies UTF-8 text into a zero-terminated field of `size` bytes. Text that does
// not fit is cut before the first character that would not fit whole, never
// inside a multi-byte sequence.
void CopyUtf8Field(const std::string& text, char* field, size_t size) {
    size_t length = strlen(text.c_str());  // as "%s" would: up to an embedded NUL
    if (length > size - 1) {
        length = size - 1;
        while (length > 0 && ((unsigned char)text[length] & 0xC0) == 0x80) --length;
    }
    memcpy(field, text.data(), length);
    memset(field + length, 0, size - length);
}

}  // namespace

// Runs on the renderer's main thread, where the program's render-side handlers run;
// userNameAnsi is still read and written under userNameLock, as everywhere else.
bool gameApp::OnRenderProcessMessage(CefRefPtr<CefBrowser> browser, CefProcessId source,
                                     CefRefPtr<CefProcessMessage> message) {
    if (source != PID_BROWSER) return false;
    if (!message || message->GetName() != CefString(kMessageName)) return false;

    CefRefPtr<CefListValue> args = message->GetArgumentList();
    if (!args || args->GetSize() == 0) return true;
    if (args->GetString(0) != CefString(kGetUser)) return true;

    // The name is on the main document, whichever frame's load prompted the request.
    CefRefPtr<CefFrame> mainFrame = browser ? browser->GetMainFrame() : nullptr;
    if (!mainFrame) return true;
    using std::placeholders::_1;
    mainFrame->VisitDOM(new CDOMVisitor(std::bind(&gameApp::ReadLoginUser, this, _1)));

    // Not cleared before the visit: a page without the element repeats the last name read.
    char name[sizeof(userNameAnsi)];
    {
        std::lock_guard<std::mutex> lock(userNameLock);
        memcpy(name, userNameAnsi, sizeof(name));
    }
    if (name[0]) {
        CefRefPtr<CefProcessMessage> answer = CefProcessMessage::Create(kMessageName);
        CefRefPtr<CefListValue> answerArgs = answer->GetArgumentList();
        answerArgs->SetSize(2);
        answerArgs->SetString(0, kGetUser);
        answerArgs->SetString(1, CefString(name));  // UTF-8
        browser->SendProcessMessage(PID_BROWSER, answer);
    }
    return true;
}

void gameApp::ReadLoginUser(CefRefPtr<CefDOMDocument> document) {
    if (!document) return;
    CefRefPtr<CefDOMNode> element = document->GetElementById(L"login_user");
    if (!element) return;
    std::string text = element->GetElementInnerText().ToString();
    char name[sizeof(userNameAnsi)];
    CopyUtf8Field(text, name, sizeof(name));
    std::lock_guard<std::mutex> lock(userNameLock);
    memcpy(userNameAnsi, name, sizeof(userNameAnsi));
}
