// Placeholder back end until the engine connection lands: the layer runs its UI
// thread but starts no engine, so no browser ever arrives.
#include "src/cef_context.h"

namespace cef_internal {
void EngineStart() {}
void EngineStop() {}
int RunRenderProcess(const CefMainArgs&, CefRefPtr<CefApp>, CefRefPtr<CefCommandLine>) { return 0; }
}  // namespace cef_internal
