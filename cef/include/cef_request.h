// A web request as the handlers see it.
#pragma once

#include "include/cef_base.h"

class CefRequest : public virtual CefBase {
public:
    virtual bool IsReadOnly() { return true; }
    virtual CefString GetURL() { return CefString(); }
    virtual CefString GetMethod() { return CefString(); }
};
