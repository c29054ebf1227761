// The small script every document of our pages gets before its own scripts run.
// It tells the browser window what the engine does not report over DevTools: the
// page title as scripts change it and context-menu requests the page did not
// cancel; on the screencast route also the cursor the page asks for, and on the
// embedded route every key the page receives (see embed_view.h). It runs in an
// isolated world, where the binding is, out of the page's own scripts' reach.
#pragma once

#include <cstddef>
#include <string>

namespace cef_internal {

// Name of the binding the script reports through (Runtime.addBinding).
const char kHostBinding[] = "__vornHost";
// The isolated worlds the script and the binding share in every document: one
// for pages shown as screencast pictures, one for pages in the engine's own window.
const char kHostWorld[] = "vornmark-host";
const char kViewWorld[] = "__vornView";
// Our script reports the page's title, which the page sets at will (a title of
// hundreds of megabytes); reports larger than this are dropped unread.
const size_t kMaxBindingPayload = 1024 * 1024;

// The script for a page shown as screencast pictures (`embedded` false) or through
// the engine's own window (true).
const std::string& PageScript(bool embedded);

}  // namespace cef_internal
