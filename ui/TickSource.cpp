#include "ui/TickSource.h"

namespace toolkit {
namespace {
TickSourceFn g_source = nullptr;
}

DWORD TickCount() { return g_source ? g_source() : GetTickCount(); }
void SetTickSource(TickSourceFn source) { g_source = source; }

}  // namespace toolkit
