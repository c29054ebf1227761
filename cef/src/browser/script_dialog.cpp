#include "src/browser/script_dialog.h"

#include <algorithm>
#include <vector>
#include "base/Text.h"
#include "include/internal/cef_string.h"

namespace cef_internal {
namespace {

const int kIdIcon = 99;

struct DialogState {
    const ScriptDialogRequest* request = nullptr;
    std::wstring title;
    std::wstring message;
    std::wstring prompt;
    bool done = false;
    ScriptDialogResult result;
};

// The dialogs running on the engine UI thread, innermost last, each with the
// browser window it belongs to. Only that thread touches the list.
struct Running {
    HWND dialog;
    HWND browserWindow;
};
std::vector<Running> g_running;

// The dialog's loop waits in GetMessage, which handles sent messages (a click
// sent from elsewhere, a window destroyed by another thread) without returning:
// a posted message makes it look again whether it is done.
void WakeDialogLoop() { PostThreadMessageW(GetCurrentThreadId(), WM_NULL, 0, 0); }

// Edit controls break lines at CR LF only.
std::wstring WithCrLf(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size() + 16);
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (c == L'\r') {
            out += L"\r\n";
            if (i + 1 < text.size() && text[i + 1] == L'\n') ++i;
        } else if (c == L'\n') {
            out += L"\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::wstring ShownMessage(const std::string& utf8) {
    std::wstring text = CefString(utf8).ToWString();
    if (text.size() > kScriptDialogMaxMessageUnits) {
        base::CutUtf16(text, kScriptDialogMaxMessageUnits);
        text += L"\x2026";
    }
    return WithCrLf(text);
}

// Builds an in-memory dialog template.
class TemplateWriter {
public:
    void Word(WORD w) { data_.push_back(w); }
    void DWord(DWORD d) {
        Word(LOWORD(d));
        Word(HIWORD(d));
    }
    void Text(const wchar_t* s) {
        while (*s) Word(*s++);
        Word(0);
    }
    void Align() {
        if (data_.size() % 2) Word(0);
    }
    void Item(DWORD style, WORD id, WORD cls) {
        Align();
        DWord(style | WS_CHILD | WS_VISIBLE);
        DWord(0);
        Word(0), Word(0), Word(10), Word(10);  // placed by Layout
        Word(id);
        Word(0xFFFF), Word(cls);
        Text(L"");
        Word(0);
    }
    std::vector<WORD>& Data() { return data_; }

private:
    std::vector<WORD> data_;
};

std::vector<WORD> DialogTemplate() {
    TemplateWriter t;
    t.DWord(DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU);
    t.DWord(0);
    t.Word(6);  // items
    t.Word(0), t.Word(0), t.Word(200), t.Word(80);
    t.Word(0);  // no menu
    t.Word(0);  // default class
    t.Word(0);  // title set at init
    t.Word(9);
    t.Text(L"MS Shell Dlg");
    t.Item(SS_ICON, kIdIcon, 0x0082);
    // The message: read-only and scrollable, so a long one stays readable.
    t.Item(ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, kScriptDialogTextId, 0x0081);
    t.Item(ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, kScriptDialogEditId, 0x0081);
    t.Item(BS_AUTOCHECKBOX | WS_TABSTOP, kScriptDialogStopId, 0x0080);
    t.Item(BS_DEFPUSHBUTTON | WS_TABSTOP, IDOK, 0x0080);
    t.Item(BS_PUSHBUTTON | WS_TABSTOP, IDCANCEL, 0x0080);
    return t.Data();
}

RECT DialogUnits(HWND dlg, int left, int top, int right, int bottom) {
    RECT r = {left, top, right, bottom};
    MapDialogRect(dlg, &r);
    return r;
}

// Sizes the dialog to its message and places the controls (pixels from dialog units,
// so that the dialog follows the system's font size).
void Layout(HWND dlg, DialogState* state) {
    const ScriptDialogRequest& req = *state->request;
    bool prompt = req.type == "prompt";
    bool cancel = req.type != "alert";
    RECT unit = DialogUnits(dlg, 7, 7, 50, 14);  // margin x/y, button width/height
    int mx = unit.left, my = unit.top, bw = unit.right, bh = unit.bottom;
    RECT limits = DialogUnits(dlg, 180, 0, 320, 10);  // text width min/max, check box height
    int minText = limits.left, maxText = limits.right, checkH = limits.bottom;
    int icon = GetSystemMetrics(SM_CXICON);

    HMONITOR monitor = MonitorFromWindow(GetParent(dlg) ? GetParent(dlg) : dlg, MONITOR_DEFAULTTOPRIMARY);
    MONITORINFO mi = {sizeof(mi)};
    GetMonitorInfoW(monitor, &mi);
    RECT work = mi.rcWork;
    int maxTextHeight = std::max(60, (int)(work.bottom - work.top) / 2);

    HWND text = GetDlgItem(dlg, kScriptDialogTextId);
    HDC dc = GetDC(text);
    HGDIOBJ old = SelectObject(dc, (HFONT)SendMessageW(dlg, WM_GETFONT, 0, 0));
    RECT measured = {0, 0, maxText, 0};
    std::wstring sample = state->message.empty() ? L" " : state->message;
    DrawTextW(dc, sample.c_str(), (int)sample.size(), &measured,
              DT_CALCRECT | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX | DT_EXPANDTABS);
    SelectObject(dc, old);
    ReleaseDC(text, dc);
    // A little over the measure: the edit control keeps margins of its own.
    int textW = std::min(maxText, std::max(minText, (int)(measured.right - measured.left))) + mx;
    int textH = std::max(icon, (int)(measured.bottom - measured.top) + my / 2);
    if (textH > maxTextHeight) {
        // Too long to show whole: it scrolls.
        textH = maxTextHeight;
        SetWindowLongPtrW(text, GWL_STYLE, GetWindowLongPtrW(text, GWL_STYLE) | WS_VSCROLL);
        textW += GetSystemMetrics(SM_CXVSCROLL);
        SetWindowPos(text, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
    }

    int x = mx + icon + mx;
    int y = my;
    MoveWindow(GetDlgItem(dlg, kIdIcon), mx, my, icon, icon, FALSE);
    MoveWindow(text, x, y, textW, textH, FALSE);
    y += textH + my;
    if (prompt) {
        MoveWindow(GetDlgItem(dlg, kScriptDialogEditId), x, y, textW, bh, FALSE);
        y += bh + my;
    }
    if (req.offerStop) {
        MoveWindow(GetDlgItem(dlg, kScriptDialogStopId), x, y, textW, checkH, FALSE);
        y += checkH + my;
    }
    int width = x + textW + mx;
    int right = width - mx;
    if (cancel) {
        MoveWindow(GetDlgItem(dlg, IDCANCEL), right - bw, y, bw, bh, FALSE);
        right -= bw + mx / 2 + 1;
    }
    MoveWindow(GetDlgItem(dlg, IDOK), right - bw, y, bw, bh, FALSE);
    int height = y + bh + my;

    // Whole window, centred over the owner and kept on its screen.
    RECT frame = {0, 0, width, height};
    AdjustWindowRectEx(&frame, (DWORD)GetWindowLongPtrW(dlg, GWL_STYLE), FALSE,
                       (DWORD)GetWindowLongPtrW(dlg, GWL_EXSTYLE));
    int fw = frame.right - frame.left, fh = frame.bottom - frame.top;
    RECT over = work;
    HWND owner = GetWindow(dlg, GW_OWNER);
    if (owner && IsWindowVisible(owner)) GetWindowRect(owner, &over);
    int left = over.left + ((over.right - over.left) - fw) / 2;
    int top = over.top + ((over.bottom - over.top) - fh) / 2;
    left = std::max((int)work.left, std::min(left, (int)work.right - fw));
    top = std::max((int)work.top, std::min(top, (int)work.bottom - fh));
    SetWindowPos(dlg, nullptr, left, top, fw, fh, SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK DialogProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
    DialogState* state = reinterpret_cast<DialogState*>(GetWindowLongPtrW(dlg, DWLP_USER));
    switch (msg) {
    case WM_INITDIALOG: {
        SetWindowLongPtrW(dlg, DWLP_USER, lParam);
        state = reinterpret_cast<DialogState*>(lParam);
        const ScriptDialogRequest& req = *state->request;
        bool zh = req.chinese;
        bool prompt = req.type == "prompt";
        SetWindowTextW(dlg, state->title.c_str());
        SetDlgItemTextW(dlg, kScriptDialogTextId, state->message.c_str());
        HICON icon = LoadIconW(nullptr, req.type == "alert" ? IDI_WARNING : IDI_QUESTION);
        SendDlgItemMessageW(dlg, kIdIcon, STM_SETICON, (WPARAM)icon, 0);
        SetDlgItemTextW(dlg, IDOK, zh ? L"确定" : L"OK");
        SetDlgItemTextW(dlg, IDCANCEL, zh ? L"取消" : L"Cancel");
        SetDlgItemTextW(dlg, kScriptDialogStopId,
                        zh ? L"阻止此页面创建更多对话框" : L"Prevent this page from creating additional dialogs");
        if (!prompt) ShowWindow(GetDlgItem(dlg, kScriptDialogEditId), SW_HIDE);
        if (!req.offerStop) ShowWindow(GetDlgItem(dlg, kScriptDialogStopId), SW_HIDE);
        if (req.type == "alert") ShowWindow(GetDlgItem(dlg, IDCANCEL), SW_HIDE);
        if (prompt) {
            SetDlgItemTextW(dlg, kScriptDialogEditId, state->prompt.c_str());
            SendDlgItemMessageW(dlg, kScriptDialogEditId, EM_SETSEL, 0, -1);
        }
        Layout(dlg, state);
        SetFocus(GetDlgItem(dlg, prompt ? kScriptDialogEditId : IDOK));
        return FALSE;
    }
    case WM_COMMAND: {
        WORD id = LOWORD(wParam);
        if ((id != IDOK && id != IDCANCEL) || !state || state->done) break;
        const ScriptDialogRequest& req = *state->request;
        // Esc and the caption's close dismiss an alert as its only button does.
        state->result.accept = id == IDOK || req.type == "alert";
        if (id == IDOK && req.type == "prompt") {
            HWND edit = GetDlgItem(dlg, kScriptDialogEditId);
            int n = GetWindowTextLengthW(edit);
            std::vector<wchar_t> buf(n + 1);
            GetWindowTextW(edit, buf.data(), n + 1);
            state->result.text = CefString(std::wstring(buf.data())).ToString();
        }
        state->result.stopFurther = req.offerStop && IsDlgButtonChecked(dlg, kScriptDialogStopId) == BST_CHECKED;
        state->done = true;
        ShowWindow(dlg, SW_HIDE);
        WakeDialogLoop();
        return TRUE;
    }
    case WM_CLOSE:
        // The caption's close button: dismissed, as with Esc.
        SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        return TRUE;
    default:
        break;
    }
    return FALSE;
}

bool IsAltF4(const MSG& msg) { return msg.message == WM_SYSKEYDOWN && msg.wParam == VK_F4; }

}  // namespace

std::string ScriptDialogOrigin(const std::string& url) {
    const size_t kMaxUnits = 300;  // bytes: a title, not a place for a page's whole address
    size_t colon = url.find(':');
    std::string origin;
    if (colon == std::string::npos) {
        origin = url;
    } else if (url.compare(colon, 3, "://") == 0) {
        size_t end = url.find_first_of("/?#", colon + 3);
        origin = url.substr(0, end);
    } else {
        origin = url.substr(0, colon + 1);
    }
    base::CutUtf8(origin, kMaxUnits);
    return origin;
}

std::wstring ScriptDialogTitle(const std::string& type, const std::string& url) {
    std::wstring kind = type == "alert"    ? L"JavaScript Alert"
                        : type == "prompt" ? L"JavaScript Prompt"
                                           : L"JavaScript Confirm";
    std::string origin = ScriptDialogOrigin(url);
    if (origin.empty()) return kind;
    return kind + L" - " + CefString(origin).ToWString();
}

ScriptDialogResult StoppedDialogAnswer(const std::string& type) {
    ScriptDialogResult result;
    result.accept = type == "alert" || type == "beforeunload";
    return result;
}

ScriptDialogPolicy::Action ScriptDialogPolicy::Next(const std::string& origin) const {
    if (stopped_.count(origin)) return kAnswerAtOnce;
    return shown_.count(origin) ? kShowWithStop : kShow;
}

void ScriptDialogPolicy::Answered(const std::string& origin, const ScriptDialogResult& result) {
    shown_.insert(origin);
    if (result.stopFurther) stopped_.insert(origin);
}

ScriptDialogResult RunScriptDialog(HWND owner, HWND browserWindow, const ScriptDialogRequest& request) {
    DialogState state;
    state.request = &request;
    state.title = ScriptDialogTitle(request.type, request.url);
    state.message = request.type == "beforeunload"
                        ? (request.chinese ? L"要离开此页面吗？" : L"Is it OK to leave/reload this page?")
                        : ShownMessage(request.message);
    state.prompt = CefString(request.defaultPrompt).ToWString();

    std::vector<WORD> data = DialogTemplate();
    if (owner && !IsWindow(owner)) owner = nullptr;
    // Not DialogBox: that would disable the owner, and with it the client's close
    // button. The vector's storage is aligned as a template must be.
    HWND dlg = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(data.data()),
                                          owner, DialogProc, reinterpret_cast<LPARAM>(&state));
    if (!dlg) return state.result;
    g_running.push_back({dlg, browserWindow});
    bool browserWasEnabled = browserWindow && IsWindow(browserWindow) && !EnableWindow(browserWindow, FALSE);
    ShowWindow(dlg, SW_SHOW);
    SetForegroundWindow(dlg);

    MSG msg;
    while (!state.done && IsWindow(dlg)) {
        BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            PostQuitMessage((int)msg.wParam);  // for the loop that owns the thread
            break;
        }
        if (got < 0) break;
        if (IsAltF4(msg) && owner && (msg.hwnd == dlg || IsChild(dlg, msg.hwnd))) {
            // As in a browser window: Alt+F4 over a page's dialog closes the window
            // around the page, the way it would without the dialog.
            PostMessageW(owner, WM_SYSCOMMAND, SC_CLOSE, 0);
            continue;
        }
        if (!IsDialogMessageW(dlg, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }

    for (auto it = g_running.begin(); it != g_running.end(); ++it)
        if (it->dialog == dlg) {
            g_running.erase(it);
            break;
        }
    if (IsWindow(dlg)) DestroyWindow(dlg);
    if (browserWasEnabled && IsWindow(browserWindow)) EnableWindow(browserWindow, TRUE);
    if (!state.done) state.result = ScriptDialogResult();
    return state.result;
}

void EndScriptDialogs(HWND browserWindow) {
    if (!browserWindow) return;
    // Copied first: destroying a dialog lets its loop take it off the list.
    std::vector<HWND> ending;
    for (const Running& r : g_running)
        if (r.browserWindow == browserWindow) ending.push_back(r.dialog);
    for (HWND dlg : ending)
        if (IsWindow(dlg)) DestroyWindow(dlg);
    if (!ending.empty()) WakeDialogLoop();
}

}  // namespace cef_internal
