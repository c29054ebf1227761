// The render side's document access: CefDOMDocument and CefDOMNode read from the
// page's live document through the channel's DevTools session.
#pragma once

#include <memory>
#include <string>
#include "include/cef_dom.h"

namespace cef_internal {

class RenderChannel;

// Runs `visitor` on the current document of frame `frameId` before returning. The
// document is read from a world of our own, so page scripts that replace DOM
// methods do not change what is read.
void VisitFrameDocument(std::shared_ptr<RenderChannel> channel, const std::string& frameId,
                        CefRefPtr<CefDOMVisitor> visitor);

}  // namespace cef_internal
