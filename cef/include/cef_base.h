// Reference counting shared by every interface of the browser layer.
#pragma once

#include <atomic>
#include <cstddef>
#include "include/internal/cef_string.h"

class CefBase {
public:
    virtual int AddRef() = 0;
    virtual int Release() = 0;
    virtual int GetRefCt() = 0;

protected:
    virtual ~CefBase() {}
};

// Thread-safe counter behind IMPLEMENT_REFCOUNTING.
class CefRefCount {
public:
    CefRefCount() : count_(0) {}
    int AddRef() { return ++count_; }
    int Release() { return --count_; }
    int GetRefCt() const { return count_.load(); }

private:
    std::atomic<int> count_;
};

#define IMPLEMENT_REFCOUNTING(ClassName)                         \
public:                                                          \
    int AddRef() override { return refct_.AddRef(); }            \
    int Release() override {                                     \
        int retval = refct_.Release();                           \
        if (retval == 0) delete this;                            \
        return retval;                                           \
    }                                                            \
    int GetRefCt() override { return refct_.GetRefCt(); }        \
                                                                 \
private:                                                         \
    CefRefCount refct_;

template <class T>
class CefRefPtr {
public:
    CefRefPtr() : ptr_(nullptr) {}
    CefRefPtr(T* p) : ptr_(p) { if (ptr_) ptr_->AddRef(); }
    CefRefPtr(const CefRefPtr<T>& r) : ptr_(r.ptr_) { if (ptr_) ptr_->AddRef(); }
    template <typename U>
    CefRefPtr(const CefRefPtr<U>& r) : ptr_(r.get()) { if (ptr_) ptr_->AddRef(); }
    ~CefRefPtr() { if (ptr_) ptr_->Release(); }

    T* get() const { return ptr_; }
    operator T*() const { return ptr_; }
    T* operator->() const { return ptr_; }

    CefRefPtr<T>& operator=(T* p) {
        if (p) p->AddRef();
        T* old = ptr_;
        ptr_ = p;
        if (old) old->Release();
        return *this;
    }
    CefRefPtr<T>& operator=(const CefRefPtr<T>& r) { return *this = r.ptr_; }
    template <typename U>
    CefRefPtr<T>& operator=(const CefRefPtr<U>& r) { return *this = r.get(); }
    void swap(CefRefPtr<T>& r) { T* t = ptr_; ptr_ = r.ptr_; r.ptr_ = t; }

private:
    T* ptr_;
};
