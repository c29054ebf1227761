// The render side's CefBrowser and CefFrame: views of the page that ask the
// engine through the channel on every call, as the page may change at any time.
#pragma once

#include <memory>
#include "include/cef_browser.h"

namespace cef_internal {

class RenderChannel;

CefRefPtr<CefBrowser> CreateRenderBrowser(std::shared_ptr<RenderChannel> channel);

}  // namespace cef_internal
