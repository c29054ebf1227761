// A browser's input: the window's mouse, wheel, key, character and input-method
// messages as engine input events, the clipboard shortcuts, the pointer shape the
// page asks for, and the page scripts these use.
#include "src/browser/browser_impl.h"

#include <windowsx.h>
#include <imm.h>
#include "src/api/cef_context.h"
#include "src/browser/clipboard.h"
#include "src/browser/input_keys.h"

using nlohmann::json;

namespace cef_internal {
namespace {

// The cursor a CSS cursor value stands for ("url(x.cur), pointer" falls back to its keyword).
LPCWSTR CursorFor(std::string name) {
    size_t comma = name.rfind(',');
    if (comma != std::string::npos) name = name.substr(comma + 1);
    name.erase(0, name.find_first_not_of(' '));
    if (name == "pointer") return IDC_HAND;
    if (name == "text" || name == "vertical-text") return IDC_IBEAM;
    if (name == "wait") return IDC_WAIT;
    if (name == "progress") return IDC_APPSTARTING;
    if (name == "crosshair" || name == "cell") return IDC_CROSS;
    if (name == "move" || name == "all-scroll" || name == "grab" || name == "grabbing") return IDC_SIZEALL;
    if (name == "not-allowed" || name == "no-drop") return IDC_NO;
    if (name == "help") return IDC_HELP;
    if (name == "ew-resize" || name == "e-resize" || name == "w-resize" || name == "col-resize") return IDC_SIZEWE;
    if (name == "ns-resize" || name == "n-resize" || name == "s-resize" || name == "row-resize") return IDC_SIZENS;
    if (name == "nwse-resize" || name == "nw-resize" || name == "se-resize") return IDC_SIZENWSE;
    if (name == "nesw-resize" || name == "ne-resize" || name == "sw-resize") return IDC_SIZENESW;
    if (name == "none") return nullptr;
    return IDC_ARROW;
}

// Reads the selected text of the focused editable or document, following same-origin inner frames.
const char kSelectionScript[] =
    "(function(){var d=document,e=d.activeElement;"
    "while(e&&(e.tagName==='IFRAME'||e.tagName==='FRAME')){try{d=e.contentDocument;e=d.activeElement;}catch(x){break;}}"
    "if(e&&(e.tagName==='INPUT'||e.tagName==='TEXTAREA')&&typeof e.selectionStart==='number')"
    "return e.value.substring(e.selectionStart,e.selectionEnd);"
    "return String((d.defaultView||window).getSelection()||'');})()";

// The place of the text being typed, in view coordinates: the selection of an
// editable element, or the focused field itself; [left, top, right, bottom].
const char kEditRectScript[] =
    "(function(){var d=document,e=d.activeElement,x=0,y=0;"
    "while(e&&(e.tagName==='IFRAME'||e.tagName==='FRAME')){var f=e.getBoundingClientRect();x+=f.left;y+=f.top;"
    "try{d=e.contentDocument;e=d.activeElement;}catch(z){break;}}"
    "if(!e||e===d.body)return null;var r=null,s=(d.defaultView||window).getSelection();"
    "if(e.isContentEditable&&s&&s.rangeCount)r=s.getRangeAt(0).getBoundingClientRect();"
    "if(!r||(!r.width&&!r.height))r=e.getBoundingClientRect();"
    "return [x+r.left,y+r.top,x+r.right,y+r.bottom].map(Math.round);})()";

// One of the input context's strings (GCS_RESULTSTR, GCS_COMPSTR).
std::wstring ImeString(HIMC imc, DWORD which) {
    std::wstring text;
    LONG bytes = ImmGetCompositionStringW(imc, which, nullptr, 0);
    if (bytes > 0) {
        text.resize(bytes / sizeof(wchar_t));
        ImmGetCompositionStringW(imc, which, &text[0], bytes);
    }
    return text;
}

}  // namespace

void BrowserImpl::ForwardMouse(UINT msg, WPARAM wParam, LPARAM lParam) {
    int x = GET_X_LPARAM(lParam), y = GET_Y_LPARAM(lParam);
    const char* type = "mouseMoved";
    const char* button = "none";
    int which = -1;
    switch (msg) {
    case WM_LBUTTONDOWN: case WM_LBUTTONDBLCLK: type = "mousePressed"; button = "left"; which = 0; break;
    case WM_RBUTTONDOWN: case WM_RBUTTONDBLCLK: type = "mousePressed"; button = "right"; which = 2; break;
    case WM_MBUTTONDOWN: case WM_MBUTTONDBLCLK: type = "mousePressed"; button = "middle"; which = 1; break;
    case WM_LBUTTONUP: type = "mouseReleased"; button = "left"; which = 0; break;
    case WM_RBUTTONUP: type = "mouseReleased"; button = "right"; which = 2; break;
    case WM_MBUTTONUP: type = "mouseReleased"; button = "middle"; which = 1; break;
    default:
        if (wParam & MK_LBUTTON) button = "left";
        else if (wParam & MK_RBUTTON) button = "right";
        else if (wParam & MK_MBUTTON) button = "middle";
        break;
    }
    int buttons = ((wParam & MK_LBUTTON) ? 1 : 0) | ((wParam & MK_RBUTTON) ? 2 : 0) | ((wParam & MK_MBUTTON) ? 4 : 0);
    bool pressed = type[5] == 'P';
    bool released = type[5] == 'R';
    if (pressed) {
        HWND hwnd = hwnd_;
        if (GetFocus() != hwnd) ::SetFocus(hwnd);
        SetCapture(hwnd);
        // Double and triple clicks, counted the way the system counts them.
        DWORD now = GetMessageTime();
        if (which == lastButton_ && now - lastClickTime_ <= GetDoubleClickTime() &&
            abs(x - lastClickPos_.x) <= GetSystemMetrics(SM_CXDOUBLECLK) / 2 &&
            abs(y - lastClickPos_.y) <= GetSystemMetrics(SM_CYDOUBLECLK) / 2)
            ++clickCount_;
        else
            clickCount_ = 1;
        lastButton_ = which;
        lastClickTime_ = now;
        lastClickPos_.x = x;
        lastClickPos_.y = y;
        if (which == 2) {
            menuPoint_.x = x;
            menuPoint_.y = y;
        }
    }
    if (released && !(wParam & (MK_LBUTTON | MK_RBUTTON | MK_MBUTTON)) && GetCapture() == hwnd_) ReleaseCapture();
    json params = {{"type", type}, {"x", x}, {"y", y}, {"modifiers", CurrentModifiers()},
                   {"button", button}, {"buttons", buttons}};
    if (pressed || released) params["clickCount"] = which == lastButton_ ? clickCount_ : 1;
    Command("Input.dispatchMouseEvent", params);
}

void BrowserImpl::ForwardWheel(UINT msg, WPARAM wParam, LPARAM lParam) {
    POINT pt = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    ScreenToClient(hwnd_, &pt);
    double delta = GET_WHEEL_DELTA_WPARAM(wParam) / (double)WHEEL_DELTA * 100.0;  // a notch scrolls 100 px
    json params = {{"type", "mouseWheel"}, {"x", pt.x}, {"y", pt.y}, {"modifiers", CurrentModifiers()},
                   {"deltaX", msg == WM_MOUSEHWHEEL ? delta : 0.0},
                   {"deltaY", msg == WM_MOUSEWHEEL ? -delta : 0.0}};
    Command("Input.dispatchMouseEvent", params);
}

void BrowserImpl::ForwardKey(UINT msg, WPARAM wParam, LPARAM lParam) {
    UINT vk = (UINT)wParam;
    UINT scan = (lParam >> 16) & 0xFF;
    bool extended = (lParam >> 24) & 1;
    bool down = msg == WM_KEYDOWN || msg == WM_SYSKEYDOWN;
    int modifiers = CurrentModifiers();
    bool ctrlOnly = (modifiers & 2) && !(modifiers & 1);
    if (down) {
        // The engine's clipboard is its own: paste comes from ours, copies go to ours.
        if ((ctrlOnly && vk == 'V') || (vk == VK_INSERT && modifiers == 8)) {
            std::wstring text = ClipboardText(hwnd_);
            if (!text.empty()) Command("Input.insertText", {{"text", CefString(text).ToString()}});
            return;
        }
        if ((ctrlOnly && (vk == 'C' || vk == 'X')) || (vk == VK_INSERT && modifiers == 2)) {
            std::shared_ptr<DevToolsConnection> connection = EngineConnection();
            std::string session = SessionId();
            HWND hwnd = hwnd_;
            if (connection && !session.empty())
                connection->SendAsync(
                    "Runtime.evaluate", {{"expression", kSelectionScript}, {"returnByValue", true}},
                    [hwnd](bool ok, const json& result) {
                        const json& value = JsonObject(JsonObject(result, "result"), "value");
                        if (!ok || !value.is_string() || value.get<std::string>().empty()) return;
                        std::wstring text = CefString(value.get<std::string>()).ToWString();
                        PostUiTask([hwnd, text] { PutOnClipboard(hwnd, text); });
                    },
                    session);
        }
    }
    std::string key = DomKeyName(vk);
    if (key.empty()) {
        // The character this key types: the WM_CHAR that TranslateMessage queued, if any.
        MSG next;
        if (down && PeekMessageW(&next, hwnd_, WM_CHAR, WM_CHAR, PM_NOREMOVE) && next.wParam >= 0x20) {
            key = CefString(std::wstring(1, (wchar_t)next.wParam)).ToString();
        } else {
            UINT ch = MapVirtualKeyW(vk, MAPVK_VK_TO_CHAR) & 0x7FFFFFFF;
            if (ch >= 0x20) {
                wchar_t c = (wchar_t)ch;
                if (!(modifiers & 8)) c = (wchar_t)towlower(c);
                key = CefString(std::wstring(1, c)).ToString();
            } else {
                key = "Unidentified";
            }
        }
    }
    int location = DomLocation(vk, scan, extended);
    json params = {{"type", down ? "rawKeyDown" : "keyUp"},
                   {"modifiers", modifiers},
                   {"windowsVirtualKeyCode", vk},
                   {"nativeVirtualKeyCode", vk},
                   {"code", DomCode(vk, scan, extended)},
                   {"key", key},
                   {"autoRepeat", down && (lParam & 0x40000000) != 0},
                   {"isKeypad", location == 3},
                   {"isSystemKey", msg == WM_SYSKEYDOWN || msg == WM_SYSKEYUP}};
    if (location) params["location"] = location;
    if (view_) view_->ExpectEcho((int)vk, down);
    Command("Input.dispatchKeyEvent", params);
}

void BrowserImpl::ForwardChar(WPARAM wParam, LPARAM lParam) {
    wchar_t c = (wchar_t)wParam;
    if (c >= 0xD800 && c <= 0xDBFF) {
        highSurrogate_ = c;  // the pair's second half follows in the next WM_CHAR
        return;
    }
    std::wstring text(1, c);
    if (c >= 0xDC00 && c <= 0xDFFF) {
        if (!highSurrogate_) return;
        text.insert(text.begin(), highSurrogate_);
    }
    highSurrogate_ = 0;
    // Control characters are the key's business (Backspace, Escape, Ctrl+letter); Enter types.
    if (c < 0x20 && c != L'\r') return;
    std::string utf8 = CefString(text).ToString();
    Command("Input.dispatchKeyEvent", {{"type", "char"},
                                       {"text", utf8},
                                       {"unmodifiedText", utf8},
                                       {"key", c == L'\r' ? "Enter" : utf8},
                                       {"modifiers", CurrentModifiers()},
                                       {"windowsVirtualKeyCode", c == L'\r' ? VK_RETURN : 0}});
}

bool BrowserImpl::ForwardImeResult() {
    HIMC imc = ImmGetContext(hwnd_);
    if (!imc) return false;
    std::wstring text = ImeString(imc, GCS_RESULTSTR);
    ImmReleaseContext(hwnd_, imc);
    if (text.empty()) return false;
    // Commits: the text replaces whatever composition the page still shows.
    Command("Input.insertText", {{"text", CefString(text).ToString()}});
    imeComposing_ = false;
    return true;
}

void BrowserImpl::ForwardImeComposition() {
    HIMC imc = ImmGetContext(hwnd_);
    if (!imc) return;
    std::wstring text = ImeString(imc, GCS_COMPSTR);
    LONG cursor = ImmGetCompositionStringW(imc, GCS_CURSORPOS, nullptr, 0);
    ImmReleaseContext(hwnd_, imc);
    // An emptied composition is followed by its result or by the end of composing,
    // which cancels; either way the page hears of it once, then.
    if (text.empty()) return;
    // The caret inside the composition, in UTF-16 units as the engine counts them.
    int caret = cursor >= 0 && cursor <= (LONG)text.size() ? (int)cursor : (int)text.size();
    Command("Input.imeSetComposition",
            {{"text", CefString(text).ToString()}, {"selectionStart", caret}, {"selectionEnd", caret}});
    imeComposing_ = true;
}

void BrowserImpl::PlaceImeWindows() {
    std::shared_ptr<DevToolsConnection> connection = EngineConnection();
    std::string session = SessionId();
    if (!connection || session.empty()) return;
    HWND hwnd = hwnd_;
    connection->SendAsync(
        "Runtime.evaluate", {{"expression", kEditRectScript}, {"returnByValue", true}},
        [hwnd](bool ok, const json& result) {
            const json& r = JsonObject(JsonObject(result, "result"), "value");
            if (!ok || !r.is_array() || r.size() != 4 || !r[0].is_number() || !r[1].is_number() ||
                !r[2].is_number() || !r[3].is_number())
                return;
            RECT field = {r[0].get<int>(), r[1].get<int>(), r[2].get<int>(), r[3].get<int>()};
            PostUiTask([hwnd, field] {
                if (!IsWindow(hwnd)) return;
                HIMC imc = ImmGetContext(hwnd);
                if (!imc) return;
                // Below the field, never over it.
                CANDIDATEFORM candidate = {0, CFS_EXCLUDE, {field.left, field.bottom}, field};
                ImmSetCandidateWindow(imc, &candidate);
                COMPOSITIONFORM composition = {CFS_POINT, {field.left, field.bottom}, {0, 0, 0, 0}};
                ImmSetCompositionWindow(imc, &composition);
                ImmReleaseContext(hwnd, imc);
            });
        },
        session);
}

void BrowserImpl::SetCursorName(const std::string& name) {
    LPCWSTR id = CursorFor(name);
    cursor_ = id ? LoadCursorW(nullptr, id) : nullptr;
    hiddenCursor_ = id == nullptr;
    POINT pt;
    HWND hwnd = hwnd_;
    if (hwnd && GetCursorPos(&pt) && WindowFromPoint(pt) == hwnd) ::SetCursor(cursor_);
}

}  // namespace cef_internal
