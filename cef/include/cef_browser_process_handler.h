// Browser-process notifications of the application object.
#pragma once

#include "include/cef_base.h"
#include "include/cef_command_line.h"
#include "include/cef_values.h"

class CefPrintHandler : public virtual CefBase {};

class CefBrowserProcessHandler : public virtual CefBase {
public:
    virtual void OnContextInitialized() {}
    virtual void OnBeforeChildProcessLaunch(CefRefPtr<CefCommandLine> command_line) {}
    virtual void OnRenderProcessThreadCreated(CefRefPtr<CefListValue> extra_info) {}
    virtual CefRefPtr<CefPrintHandler> GetPrintHandler() { return nullptr; }
};
