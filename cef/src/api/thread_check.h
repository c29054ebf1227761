// Thread checks of debug builds. A member documented to run on one thread only
// states it at its top; a debug build stops there when it is called elsewhere.
// Release builds (NDEBUG) compile the checks away.
#pragma once

#include <windows.h>
#include <cassert>
#include "src/api/cef_context.h"

#ifndef NDEBUG
// The engine UI thread (members documented "UI thread only").
#define CEF_REQUIRE_UI_THREAD() assert(cef_internal::OnUiThread())
// The thread whose id was recorded in `owner` (members documented "main thread only").
#define CEF_REQUIRE_THREAD(owner) assert(GetCurrentThreadId() == (owner))
#else
#define CEF_REQUIRE_UI_THREAD() ((void)0)
#define CEF_REQUIRE_THREAD(owner) ((void)0)
#endif
