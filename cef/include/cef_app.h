// The application object and the process-level entry points of the browser layer.
#pragma once

#include <windows.h>
#include "include/cef_base.h"
#include "include/cef_browser_process_handler.h"
#include "include/cef_command_line.h"
#include "include/cef_render_process_handler.h"

class CefSchemeRegistrar : public virtual CefBase {};
class CefResourceBundleHandler : public virtual CefBase {};

class CefApp : public virtual CefBase {
public:
    // Called in every process on its main thread before the engine starts there.
    virtual void OnBeforeCommandLineProcessing(const CefString& process_type,
                                               CefRefPtr<CefCommandLine> command_line) {}
    virtual void OnRegisterCustomSchemes(CefRefPtr<CefSchemeRegistrar> registrar) {}
    virtual CefRefPtr<CefResourceBundleHandler> GetResourceBundleHandler() { return nullptr; }
    virtual CefRefPtr<CefBrowserProcessHandler> GetBrowserProcessHandler() { return nullptr; }
    virtual CefRefPtr<CefRenderProcessHandler> GetRenderProcessHandler() { return nullptr; }
};

struct cef_main_args_t {
    HINSTANCE instance;
};

class CefMainArgs : public cef_main_args_t {
public:
    CefMainArgs() { instance = nullptr; }
    explicit CefMainArgs(HINSTANCE hInstance) { instance = hInstance; }
};

typedef uint32_t cef_color_t;

typedef enum {
    LOGSEVERITY_DEFAULT,
    LOGSEVERITY_VERBOSE,
    LOGSEVERITY_INFO,
    LOGSEVERITY_WARNING,
    LOGSEVERITY_ERROR,
    LOGSEVERITY_DISABLE = 99,
} cef_log_severity_t;

typedef struct _cef_settings_t {
    size_t size;
    int single_process;
    int no_sandbox;
    cef_string_t browser_subprocess_path;
    int multi_threaded_message_loop;
    int windowless_rendering_enabled;
    int command_line_args_disabled;
    cef_string_t cache_path;
    int persist_session_cookies;
    cef_string_t user_agent;
    cef_string_t product_version;
    cef_string_t locale;
    cef_string_t log_file;
    cef_log_severity_t log_severity;
    cef_string_t javascript_flags;
    cef_string_t resources_dir_path;
    cef_string_t locales_dir_path;
    int pack_loading_disabled;
    int remote_debugging_port;
    int uncaught_exception_stack_size;
    int context_safety_implementation;
    int ignore_certificate_errors;
    cef_color_t background_color;
    cef_string_t accept_language_list;
} cef_settings_t;

// Owns the strings of its structure and releases them on destruction.
class CefSettings : public cef_settings_t {
public:
    CefSettings();
    ~CefSettings();
    CefSettings(const CefSettings&) = delete;
    CefSettings& operator=(const CefSettings&) = delete;
    void Clear();
};

// Releases every string field of a settings structure.
void cef_settings_clear(cef_settings_t* settings);

// Runs a sub-process (the command line names a process type) and returns its
// exit code (>= 0); returns -1 in the browser process, which then goes on.
int CefExecuteProcess(const CefMainArgs& args, CefRefPtr<CefApp> application, void* windows_sandbox_info);

// Starts the engine. With multi_threaded_message_loop the engine runs its own UI thread.
bool CefInitialize(const CefMainArgs& args, const cef_settings_t& settings, CefRefPtr<CefApp> application,
                   void* windows_sandbox_info);

// Closes every browser, ends the engine and its processes and joins the UI thread.
void CefShutdown();
