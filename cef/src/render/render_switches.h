// Switches by which the browser process tells a render process where to find it
// and its page. Shared by both ends.
#pragma once

namespace cef_internal {

const wchar_t kRendererPipeSwitch[] = L"renderer-pipe";            // pipe name
const wchar_t kRendererTargetSwitch[] = L"renderer-target";        // page target id
const wchar_t kRendererBrowserIdSwitch[] = L"renderer-browser-id";
const wchar_t kRendererParentSwitch[] = L"renderer-parent";        // browser process id

}  // namespace cef_internal
