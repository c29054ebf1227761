// Render side: the "--type=renderer" process (render_process.cpp).
#pragma once

#include "include/cef_app.h"

namespace cef_internal {

// Runs the render side for the command line's browser and page; returns the
// process's exit code.
int RunRenderProcess(const CefMainArgs& args, CefRefPtr<CefApp> app, CefRefPtr<CefCommandLine> commandLine);

}  // namespace cef_internal
