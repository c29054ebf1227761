// A web response as the handlers see it.
#pragma once

#include "include/cef_base.h"

class CefResponse : public virtual CefBase {
public:
    virtual bool IsReadOnly() { return true; }
    virtual int GetStatus() { return 0; }
    virtual CefString GetStatusText() { return CefString(); }
    virtual CefString GetMimeType() { return CefString(); }
};
