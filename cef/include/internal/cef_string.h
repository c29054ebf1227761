// UTF-16 strings of the browser layer: the C structure cef_string_t and the
// C++ wrapper CefString, which either owns its text or writes through to a
// cef_string_t it was bound to (as in `CefString(&settings.cache_path) = L"..."`).
#pragma once

#include <cstddef>
#include <string>

typedef wchar_t char16;

typedef struct _cef_string_utf16_t {
    char16* str;
    size_t length;
    void (*dtor)(char16* str);
} cef_string_t;

typedef cef_string_t* cef_string_userfree_t;

// Copies `len` units of `src` into `output` (which is cleared first). Returns 1.
int cef_string_set(const char16* src, size_t len, cef_string_t* output, int copy);
void cef_string_clear(cef_string_t* str);

class CefString {
public:
    CefString() : bound_(nullptr) {}
    CefString(const CefString& other) : bound_(nullptr), value_(other.ToWString()) {}
    CefString(const wchar_t* s) : bound_(nullptr), value_(s ? s : L"") {}
    CefString(const std::wstring& s) : bound_(nullptr), value_(s) {}
    CefString(const char* utf8) : bound_(nullptr) { FromString(utf8 ? std::string(utf8) : std::string()); }
    CefString(const std::string& utf8) : bound_(nullptr) { FromString(utf8); }
    // Binds to a C structure: reads and writes go to it; the structure keeps its own storage.
    explicit CefString(cef_string_t* bound) : bound_(bound) {}

    CefString& operator=(const CefString& other) { FromWString(other.ToWString()); return *this; }
    CefString& operator=(const wchar_t* s) { FromWString(s ? s : L""); return *this; }
    CefString& operator=(const std::wstring& s) { FromWString(s); return *this; }
    CefString& operator=(const char* s) { FromString(s ? std::string(s) : std::string()); return *this; }
    CefString& operator=(const std::string& s) { FromString(s); return *this; }

    std::wstring ToWString() const;
    std::string ToString() const;  // UTF-8
    void FromWString(const std::wstring& s);
    void FromString(const std::string& utf8);

    const wchar_t* c_str() const;
    size_t length() const;
    size_t size() const { return length(); }
    bool empty() const { return length() == 0; }
    void clear() { FromWString(std::wstring()); }

    bool operator==(const CefString& o) const { return ToWString() == o.ToWString(); }
    bool operator!=(const CefString& o) const { return !(*this == o); }
    bool operator<(const CefString& o) const { return ToWString() < o.ToWString(); }
    operator std::wstring() const { return ToWString(); }

private:
    cef_string_t* bound_;
    std::wstring value_;
};
