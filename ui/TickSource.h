// The millisecond clock the toolkit measures clicks with. It is GetTickCount
// unless a test installs its own source to drive the time.
#pragma once

#include <windows.h>

namespace toolkit {

typedef DWORD (*TickSourceFn)();

DWORD TickCount();
// Null restores GetTickCount.
void SetTickSource(TickSourceFn source);

}  // namespace toolkit
