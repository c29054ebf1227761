// The application object and the process-level entry points of the browser layer.
#pragma once

#include <windows.h>
#include "include/cef_base.h"
#include "include/cef_browser_process_handler.h"
#include "include/cef_command_line.h"
#include "include/cef_render_process_handler.h"
#include "include/internal/cef_types_wrappers.h"

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

struct CefSettingsTraits {
    typedef cef_settings_t struct_type;

    static inline void init(struct_type* s) { s->size = sizeof(struct_type); }

    static inline void clear(struct_type* s) {
        for (cef_string_t* str : Strings(s)) cef_string_clear(str);
    }

    static inline void set(const struct_type* src, struct_type* target, bool copy) {
        if (src == target) return;
        clear(target);
        *target = *src;
        // The plain copy shares the source's buffers; give each string its own.
        for (cef_string_t* str : Strings(target)) {
            cef_string_t shared = *str;
            str->str = nullptr;
            str->length = 0;
            str->dtor = nullptr;
            cef_string_set(shared.str, shared.length, str, copy);
        }
    }

    static inline std::array<cef_string_t*, 10> Strings(struct_type* s) {
        return {{&s->browser_subprocess_path, &s->cache_path, &s->user_agent, &s->product_version, &s->locale,
                 &s->log_file, &s->javascript_flags, &s->resources_dir_path, &s->locales_dir_path,
                 &s->accept_language_list}};
    }
};

// The process settings, owning their strings.
typedef CefStructBase<CefSettingsTraits> CefSettings;

// Runs a sub-process (the command line names a process type) and returns its
// exit code (>= 0); returns -1 in the browser process, which then goes on.
int CefExecuteProcess(const CefMainArgs& args, CefRefPtr<CefApp> application, void* windows_sandbox_info);

// Starts the engine. With multi_threaded_message_loop the engine runs its own UI thread.
bool CefInitialize(const CefMainArgs& args, const cef_settings_t& settings, CefRefPtr<CefApp> application,
                   void* windows_sandbox_info);

// Closes every browser, ends the engine and its processes and joins the UI thread.
void CefShutdown();
