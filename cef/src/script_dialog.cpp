#include "src/script_dialog.h"

#include <vector>
#include "include/internal/cef_string.h"

namespace cef_internal {
namespace {

const int kIdText = 100;
const int kIdEdit = 101;

struct PromptState {
    std::wstring message;
    std::wstring title;
    std::wstring text;
};

INT_PTR CALLBACK PromptProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
    PromptState* state = reinterpret_cast<PromptState*>(GetWindowLongPtrW(dlg, DWLP_USER));
    switch (msg) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(dlg, DWLP_USER, lParam);
        state = reinterpret_cast<PromptState*>(lParam);
        SetWindowTextW(dlg, state->title.c_str());
        SetDlgItemTextW(dlg, kIdText, state->message.c_str());
        SetDlgItemTextW(dlg, kIdEdit, state->text.c_str());
        SendDlgItemMessageW(dlg, kIdEdit, EM_SETSEL, 0, -1);
        SetFocus(GetDlgItem(dlg, kIdEdit));
        return FALSE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            if (LOWORD(wParam) == IDOK && state) {
                int n = GetWindowTextLengthW(GetDlgItem(dlg, kIdEdit));
                std::vector<wchar_t> buf(n + 1);
                GetDlgItemTextW(dlg, kIdEdit, buf.data(), n + 1);
                state->text.assign(buf.data());
            }
            EndDialog(dlg, LOWORD(wParam));
            return TRUE;
        }
        break;
    default:
        break;
    }
    return FALSE;
}

// Builds an in-memory dialog template: a text, an edit field and OK/Cancel.
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
    void Item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD cls, const wchar_t* text) {
        Align();
        DWord(style | WS_CHILD | WS_VISIBLE);
        DWord(0);
        Word(x), Word(y), Word(cx), Word(cy);
        Word(id);
        Word(0xFFFF), Word(cls);
        Text(text);
        Word(0);
    }
    std::vector<WORD>& Data() { return data_; }

private:
    std::vector<WORD> data_;
};

bool RunPrompt(HWND owner, PromptState* state) {
    TemplateWriter t;
    t.DWord(DS_MODALFRAME | DS_CENTER | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU);
    t.DWord(0);
    t.Word(4);  // items
    t.Word(0), t.Word(0), t.Word(260), t.Word(92);
    t.Word(0);  // no menu
    t.Word(0);  // default class
    t.Word(0);  // title set at init
    t.Word(9);
    t.Text(L"Tahoma");
    t.Item(SS_LEFT, 7, 7, 246, 36, kIdText, 0x0082, L"");
    t.Item(ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 7, 48, 246, 14, kIdEdit, 0x0081, L"");
    t.Item(BS_DEFPUSHBUTTON | WS_TABSTOP, 146, 70, 50, 15, IDOK, 0x0080, L"OK");
    t.Item(BS_PUSHBUTTON | WS_TABSTOP, 203, 70, 50, 15, IDCANCEL, 0x0080, L"Cancel");
    std::vector<WORD>& data = t.Data();
    // The template must be DWORD aligned; a vector of WORD is at least that on the heap.
    INT_PTR r = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(data.data()),
                                        owner, PromptProc, reinterpret_cast<LPARAM>(state));
    return r == IDOK;
}

}  // namespace

std::wstring ScriptDialogTitle(const std::string& type, const std::string& url) {
    std::wstring kind = type == "alert"    ? L"JavaScript Alert"
                        : type == "prompt" ? L"JavaScript Prompt"
                                           : L"JavaScript Confirm";
    // Only the origin: scheme and host (with port).
    std::string origin = url;
    size_t scheme = origin.find("://");
    if (scheme != std::string::npos) {
        size_t end = origin.find('/', scheme + 3);
        if (end != std::string::npos) origin = origin.substr(0, end);
    }
    if (origin.empty()) return kind;
    return kind + L" - " + CefString(origin).ToWString();
}

ScriptDialogResult RunScriptDialog(HWND owner, const std::string& type, const std::string& message,
                                   const std::string& defaultPrompt, const std::string& url) {
    ScriptDialogResult result;
    std::wstring title = ScriptDialogTitle(type, url);
    std::wstring text = CefString(message).ToWString();
    if (type == "alert") {
        MessageBoxW(owner, text.c_str(), title.c_str(), MB_OK | MB_ICONWARNING);
        result.accept = true;
    } else if (type == "confirm") {
        result.accept = MessageBoxW(owner, text.c_str(), title.c_str(), MB_OKCANCEL | MB_ICONQUESTION) == IDOK;
    } else if (type == "beforeunload") {
        result.accept = MessageBoxW(owner, L"Is it OK to leave/reload this page?", title.c_str(),
                                    MB_OKCANCEL | MB_ICONQUESTION) == IDOK;
    } else if (type == "prompt") {
        PromptState state;
        state.message = text;
        state.title = title;
        state.text = CefString(defaultPrompt).ToWString();
        result.accept = RunPrompt(owner, &state);
        if (result.accept) result.text = CefString(state.text).ToString();
    }
    return result;
}

}  // namespace cef_internal
