// The engine's own script dialogs (alert, confirm, prompt, leaving a page), shown
// as native dialogs when the client has no dialog handler of its own.
#pragma once

#include <windows.h>
#include <string>

namespace cef_internal {

struct ScriptDialogResult {
    bool accept = false;
    std::string text;  // UTF-8, prompt only
};

// Modal on the calling thread; `owner` is disabled meanwhile.
ScriptDialogResult RunScriptDialog(HWND owner, const std::string& type, const std::string& message,
                                   const std::string& defaultPrompt, const std::string& url);

// Dialog title for a page address: "JavaScript Alert - http://host".
std::wstring ScriptDialogTitle(const std::string& type, const std::string& url);

}  // namespace cef_internal
