// Windows keyboard messages in the engine's terms: DOM key names and key codes.
#pragma once

#include <windows.h>
#include <string>

namespace cef_internal {

// DOM "key" of a key that produces no character ("Enter", "ArrowLeft", "F5"...);
// empty for character keys.
std::string DomKeyName(UINT vk);
// DOM "code" (the physical key) from the scan code, falling back to the virtual key.
std::string DomCode(UINT vk, UINT scanCode, bool extended);
// 3 for keys of the number pad, 1/2 for left/right modifiers, else 0.
int DomLocation(UINT vk, UINT scanCode, bool extended);
// Engine modifier bits of the current keyboard state: Alt 1, Ctrl 2, Meta 4, Shift 8.
int CurrentModifiers();

}  // namespace cef_internal
