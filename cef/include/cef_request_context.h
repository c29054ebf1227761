// The storage context of browsers; the layer has one, the engine's profile.
#pragma once

#include "include/cef_base.h"

class CefRequestContext : public virtual CefBase {};
