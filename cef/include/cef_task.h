// Running work on the browser layer's threads.
#pragma once

#include "include/cef_base.h"

typedef enum {
    TID_UI,
} cef_thread_id_t;
typedef cef_thread_id_t CefThreadId;

class CefTask : public virtual CefBase {
public:
    virtual void Execute() = 0;
};

bool CefCurrentlyOn(CefThreadId threadId);
bool CefPostTask(CefThreadId threadId, CefRefPtr<CefTask> task);
