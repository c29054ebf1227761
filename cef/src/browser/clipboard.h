// The system clipboard's text, which the engine (with a clipboard of its own) never sees.
#pragma once

#include <windows.h>
#include <string>

namespace cef_internal {

// Puts `text` on the clipboard as CF_UNICODETEXT; nothing for empty text.
void PutOnClipboard(HWND owner, const std::wstring& text);
// The clipboard's text; empty when there is none.
std::wstring ClipboardText(HWND owner);

}  // namespace cef_internal
