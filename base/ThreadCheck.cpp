#include "base/ThreadCheck.h"

#include <cstdlib>
#include "base/Diagnostics.h"

namespace base {

void ThreadCheckFailed(const char* file, int line, const char* what) {
    DiagFailure(L"thread check", L"%hs:%d: off the thread of %hs", file, line, what);
    abort();
}

}  // namespace base
