#include "src/browser/input_keys.h"

namespace cef_internal {

std::string DomKeyName(UINT vk) {
    switch (vk) {
    case VK_BACK: return "Backspace";
    case VK_TAB: return "Tab";
    case VK_RETURN: return "Enter";
    case VK_SHIFT: case VK_LSHIFT: case VK_RSHIFT: return "Shift";
    case VK_CONTROL: case VK_LCONTROL: case VK_RCONTROL: return "Control";
    case VK_MENU: case VK_LMENU: case VK_RMENU: return "Alt";
    case VK_PAUSE: return "Pause";
    case VK_CAPITAL: return "CapsLock";
    case VK_ESCAPE: return "Escape";
    case VK_PRIOR: return "PageUp";
    case VK_NEXT: return "PageDown";
    case VK_END: return "End";
    case VK_HOME: return "Home";
    case VK_LEFT: return "ArrowLeft";
    case VK_UP: return "ArrowUp";
    case VK_RIGHT: return "ArrowRight";
    case VK_DOWN: return "ArrowDown";
    case VK_INSERT: return "Insert";
    case VK_DELETE: return "Delete";
    case VK_LWIN: case VK_RWIN: return "Meta";
    case VK_APPS: return "ContextMenu";
    case VK_NUMLOCK: return "NumLock";
    case VK_SCROLL: return "ScrollLock";
    case VK_SNAPSHOT: return "PrintScreen";
    case VK_CLEAR: return "Clear";
    default: break;
    }
    if (vk >= VK_F1 && vk <= VK_F24) return "F" + std::to_string(vk - VK_F1 + 1);
    return std::string();
}

namespace {

// Scan codes of set 1 (what Windows reports) to DOM codes; the extended variant second.
struct ScanName {
    const char* plain;
    const char* extended;
};

const ScanName kScan[0x60] = {
    {"", ""}, {"Escape", ""}, {"Digit1", ""}, {"Digit2", ""}, {"Digit3", ""}, {"Digit4", ""},
    {"Digit5", ""}, {"Digit6", ""}, {"Digit7", ""}, {"Digit8", ""}, {"Digit9", ""}, {"Digit0", ""},
    {"Minus", ""}, {"Equal", ""}, {"Backspace", ""}, {"Tab", ""},
    {"KeyQ", ""}, {"KeyW", ""}, {"KeyE", ""}, {"KeyR", ""}, {"KeyT", ""}, {"KeyY", ""}, {"KeyU", ""},
    {"KeyI", ""}, {"KeyO", ""}, {"KeyP", ""}, {"BracketLeft", ""}, {"BracketRight", ""},
    {"Enter", "NumpadEnter"}, {"ControlLeft", "ControlRight"},
    {"KeyA", ""}, {"KeyS", ""}, {"KeyD", ""}, {"KeyF", ""}, {"KeyG", ""}, {"KeyH", ""}, {"KeyJ", ""},
    {"KeyK", ""}, {"KeyL", ""}, {"Semicolon", ""}, {"Quote", ""}, {"Backquote", ""}, {"ShiftLeft", ""},
    {"Backslash", ""}, {"KeyZ", ""}, {"KeyX", ""}, {"KeyC", ""}, {"KeyV", ""}, {"KeyB", ""}, {"KeyN", ""},
    {"KeyM", ""}, {"Comma", ""}, {"Period", ""}, {"Slash", "NumpadDivide"}, {"ShiftRight", ""},
    {"NumpadMultiply", "PrintScreen"}, {"AltLeft", "AltRight"}, {"Space", ""}, {"CapsLock", ""},
    {"F1", ""}, {"F2", ""}, {"F3", ""}, {"F4", ""}, {"F5", ""}, {"F6", ""}, {"F7", ""}, {"F8", ""}, {"F9", ""},
    {"F10", ""}, {"NumLock", "Pause"}, {"ScrollLock", ""},
    {"Numpad7", "Home"}, {"Numpad8", "ArrowUp"}, {"Numpad9", "PageUp"}, {"NumpadSubtract", ""},
    {"Numpad4", "ArrowLeft"}, {"Numpad5", ""}, {"Numpad6", "ArrowRight"}, {"NumpadAdd", ""},
    {"Numpad1", "End"}, {"Numpad2", "ArrowDown"}, {"Numpad3", "PageDown"}, {"Numpad0", "Insert"},
    {"NumpadDecimal", "Delete"}, {"", ""}, {"", ""}, {"IntlBackslash", ""}, {"F11", ""}, {"F12", ""},
    {"", ""}, {"", ""}, {"", "MetaLeft"}, {"", "MetaRight"}, {"", "ContextMenu"}, {"", ""}, {"", ""},
};

std::string CodeFromVk(UINT vk) {
    if (vk >= 'A' && vk <= 'Z') return std::string("Key") + (char)vk;
    if (vk >= '0' && vk <= '9') return std::string("Digit") + (char)vk;
    if (vk >= VK_NUMPAD0 && vk <= VK_NUMPAD9) return "Numpad" + std::to_string(vk - VK_NUMPAD0);
    if (vk >= VK_F1 && vk <= VK_F24) return "F" + std::to_string(vk - VK_F1 + 1);
    switch (vk) {
    case VK_SPACE: return "Space";
    case VK_SHIFT: return "ShiftLeft";
    case VK_CONTROL: return "ControlLeft";
    case VK_MENU: return "AltLeft";
    case VK_LWIN: return "MetaLeft";
    case VK_RWIN: return "MetaRight";
    case VK_OEM_1: return "Semicolon";
    case VK_OEM_PLUS: return "Equal";
    case VK_OEM_COMMA: return "Comma";
    case VK_OEM_MINUS: return "Minus";
    case VK_OEM_PERIOD: return "Period";
    case VK_OEM_2: return "Slash";
    case VK_OEM_3: return "Backquote";
    case VK_OEM_4: return "BracketLeft";
    case VK_OEM_5: return "Backslash";
    case VK_OEM_6: return "BracketRight";
    case VK_OEM_7: return "Quote";
    case VK_MULTIPLY: return "NumpadMultiply";
    case VK_ADD: return "NumpadAdd";
    case VK_SUBTRACT: return "NumpadSubtract";
    case VK_DECIMAL: return "NumpadDecimal";
    case VK_DIVIDE: return "NumpadDivide";
    default: break;
    }
    std::string name = DomKeyName(vk);
    return name == "Shift" || name == "Control" || name == "Alt" || name == "Meta" ? name + "Left" : name;
}

}  // namespace

std::string DomCode(UINT vk, UINT scanCode, bool extended) {
    if (scanCode > 0 && scanCode < 0x60) {
        const ScanName& n = kScan[scanCode];
        const char* name = extended && n.extended && n.extended[0] ? n.extended : n.plain;
        if (name && name[0]) return name;
    }
    return CodeFromVk(vk);
}

int DomLocation(UINT vk, UINT scanCode, bool extended) {
    if (vk >= VK_NUMPAD0 && vk <= VK_DIVIDE) return 3;
    if (vk == VK_RETURN && extended) return 3;
    if (vk == VK_SHIFT) return scanCode == 0x36 ? 2 : 1;
    if (vk == VK_CONTROL || vk == VK_MENU) return extended ? 2 : 1;
    if (vk == VK_LWIN) return 1;
    if (vk == VK_RWIN) return 2;
    return 0;
}

int CurrentModifiers() {
    int m = 0;
    if (GetKeyState(VK_MENU) & 0x8000) m |= 1;
    if (GetKeyState(VK_CONTROL) & 0x8000) m |= 2;
    if ((GetKeyState(VK_LWIN) | GetKeyState(VK_RWIN)) & 0x8000) m |= 4;
    if (GetKeyState(VK_SHIFT) & 0x8000) m |= 8;
    return m;
}

}  // namespace cef_internal
