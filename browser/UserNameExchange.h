// The user-name exchange: how the browser process learns the name of the player
// logged in on the portal's page, which only a renderer can read.
//
// Route of the name, end to end:
//  1. Browser process, engine UI thread: a frame whose address contains
//     "xf.html" finished loading while the frame window still shows the
//     launcher (CFrameGame::HandleLoadEnd). The request "velmar_msg"
//     ["getuser"] goes to the renderer through the browser that reported it.
//  2. Renderer, its main thread: ClientApp hands the message to
//     gameApp::OnRenderProcessMessage, which forwards to HandleRequest here:
//     the main document's element "login_user" is read (gameApp::ReadLoginUser,
//     UTF-8, into the renderer's userNameAnsi) and, when a name is known, the
//     answer "velmar_msg" ["getuser", name] goes back through the same browser.
//  3. Browser process, engine UI thread: ClientHandler hands the answer to
//     CFrameGame::HandleProcessMessage, which reads it with ReadAnswer and
//     passes the name to gameApp::SetUserName (UTF-16 userName, ANSI
//     userNameAnsi, under the application's lock).
//  4. Main thread: the title-bar and launcher buttons put userName into portal
//     addresses; at exit userName goes to Config.ini ("user_name") and
//     userNameAnsi into the close report.
// A request and its answer carry no identifier; every qualifying load end asks
// again, and nothing waits for an answer.
#pragma once

#include <functional>
#include <string>
#include "include/cef_browser.h"
#include "include/cef_dom.h"
#include "include/cef_process_message.h"

namespace username {

// The one message name of the exchange, and the verb that is its first argument.
// Both sides compare them exactly (case-sensitive UTF-16).
extern const wchar_t kMessageName[];  // "velmar_msg"
extern const wchar_t kGetUser[];      // "getuser"
// The page element whose inner text is the name.
extern const wchar_t kLoginElementId[];  // "login_user"
// The page whose load end asks for the name, found anywhere in the address.
extern const wchar_t kRequestPage[];  // "xf.html"
// The name field each process keeps (gameApp::userNameAnsi): 63 bytes and the terminator.
const size_t kNameBytes = 64;

// --- browser process (engine UI thread) ---------------------------------------

// Whether a load end at `address` asks for the name (case-sensitive search).
bool IsRequestPage(const std::wstring& address);
// "velmar_msg" ["getuser"], to be sent to PID_RENDERER.
CefRefPtr<CefProcessMessage> MakeRequest();
// True, with the name, for an answer: the message name, exactly two entries and
// "getuser" first. An entry 1 that is not a string reads as the empty name.
bool ReadAnswer(CefRefPtr<CefProcessMessage> message, std::wstring* name);

// --- renderer (its main thread) -------------------------------------------------

// "velmar_msg" ["getuser", name]; `nameUtf8` is UTF-8 text.
CefRefPtr<CefProcessMessage> MakeAnswer(const char* nameUtf8);
// The text of the document's "login_user" element as UTF-8, cut to
// kNameBytes - 1 bytes at a character boundary (and at an embedded NUL, as a
// C string copy would). False, and `nameUtf8` untouched, without the element.
bool ReadLoginUser(CefRefPtr<CefDOMDocument> document, std::string* nameUtf8);
// The renderer's whole handling of a process message: false for a message not
// from the browser process or of another name; otherwise true, and for a
// request ("getuser" first) the main document is visited with `readPage`
// and, when `storedName` then gives a nonempty name, the answer is sent.
// `storedName` is read after the visit, so a page without the element
// repeats the last name read in this process.
bool HandleRequest(CefRefPtr<CefBrowser> browser, CefProcessId source, CefRefPtr<CefProcessMessage> message,
                   const std::function<void(CefRefPtr<CefDOMDocument>)>& readPage,
                   const std::function<std::string()>& storedName);

}  // namespace username
