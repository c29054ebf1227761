#include "include/cef_process_message.h"
#include "include/cef_values.h"

#include <mutex>
#include <vector>

namespace {

struct Value {
    CefValueType type = VTYPE_NULL;
    bool b = false;
    int i = 0;
    double d = 0;
    CefString s;
};

// A plain list; messages are built on one thread and handed over whole, but the
// lock keeps a list shared by mistake from tearing.
class ListValueImpl : public CefListValue {
public:
    bool IsValid() override { return true; }
    bool IsOwned() override { return false; }
    bool IsReadOnly() override { return false; }
    CefRefPtr<CefListValue> Copy() override {
        ListValueImpl* c = new ListValueImpl();
        std::lock_guard<std::mutex> lock(mutex_);
        c->items_ = items_;
        return c;
    }
    bool SetSize(size_t size) override {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.resize(size);
        return true;
    }
    size_t GetSize() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_.size();
    }
    bool Clear() override {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.clear();
        return true;
    }
    bool Remove(int index) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!InRange(index)) return false;
        items_.erase(items_.begin() + index);
        return true;
    }
    CefValueType GetType(int index) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return InRange(index) ? items_[index].type : VTYPE_INVALID;
    }
    bool GetBool(int index) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return InRange(index) && items_[index].type == VTYPE_BOOL && items_[index].b;
    }
    int GetInt(int index) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return InRange(index) && items_[index].type == VTYPE_INT ? items_[index].i : 0;
    }
    double GetDouble(int index) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return InRange(index) && items_[index].type == VTYPE_DOUBLE ? items_[index].d : 0.0;
    }
    CefString GetString(int index) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return InRange(index) && items_[index].type == VTYPE_STRING ? items_[index].s : CefString();
    }
    bool SetNull(int index) override { Value v; return Set(index, v); }
    bool SetBool(int index, bool value) override { Value v; v.type = VTYPE_BOOL; v.b = value; return Set(index, v); }
    bool SetInt(int index, int value) override { Value v; v.type = VTYPE_INT; v.i = value; return Set(index, v); }
    bool SetDouble(int index, double value) override { Value v; v.type = VTYPE_DOUBLE; v.d = value; return Set(index, v); }
    bool SetString(int index, const CefString& value) override {
        Value v; v.type = VTYPE_STRING; v.s = value; return Set(index, v);
    }

private:
    bool InRange(int index) const { return index >= 0 && (size_t)index < items_.size(); }
    // Setting past the end grows the list, as the engine's lists do.
    bool Set(int index, const Value& v) {
        if (index < 0) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        if ((size_t)index >= items_.size()) items_.resize(index + 1);
        items_[index] = v;
        return true;
    }

    std::mutex mutex_;
    std::vector<Value> items_;
    IMPLEMENT_REFCOUNTING(ListValueImpl);
};

class ProcessMessageImpl : public CefProcessMessage {
public:
    ProcessMessageImpl(const CefString& name, CefRefPtr<CefListValue> args) : name_(name), args_(args) {}
    bool IsValid() override { return true; }
    bool IsReadOnly() override { return false; }
    CefRefPtr<CefProcessMessage> Copy() override { return new ProcessMessageImpl(name_, args_->Copy()); }
    CefString GetName() override { return name_; }
    CefRefPtr<CefListValue> GetArgumentList() override { return args_; }

private:
    CefString name_;
    CefRefPtr<CefListValue> args_;
    IMPLEMENT_REFCOUNTING(ProcessMessageImpl);
};

}  // namespace

CefRefPtr<CefListValue> CefListValue::Create() { return new ListValueImpl(); }

CefRefPtr<CefProcessMessage> CefProcessMessage::Create(const CefString& name) {
    return new ProcessMessageImpl(name, CefListValue::Create());
}
