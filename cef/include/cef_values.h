// List values carried by process messages.
#pragma once

#include "include/cef_base.h"

typedef enum {
    VTYPE_INVALID = 0,
    VTYPE_NULL,
    VTYPE_BOOL,
    VTYPE_INT,
    VTYPE_DOUBLE,
    VTYPE_STRING,
    VTYPE_BINARY,
    VTYPE_DICTIONARY,
    VTYPE_LIST,
} cef_value_type_t;
typedef cef_value_type_t CefValueType;

class CefListValue : public virtual CefBase {
public:
    static CefRefPtr<CefListValue> Create();

    virtual bool IsValid() = 0;
    virtual bool IsOwned() = 0;
    virtual bool IsReadOnly() = 0;
    virtual CefRefPtr<CefListValue> Copy() = 0;
    virtual bool SetSize(size_t size) = 0;
    virtual size_t GetSize() = 0;
    virtual bool Clear() = 0;
    virtual bool Remove(int index) = 0;
    virtual CefValueType GetType(int index) = 0;
    virtual bool GetBool(int index) = 0;
    virtual int GetInt(int index) = 0;
    virtual double GetDouble(int index) = 0;
    virtual CefString GetString(int index) = 0;
    virtual bool SetNull(int index) = 0;
    virtual bool SetBool(int index, bool value) = 0;
    virtual bool SetInt(int index, int value) = 0;
    virtual bool SetDouble(int index, double value) = 0;
    virtual bool SetString(int index, const CefString& value) = 0;
};
