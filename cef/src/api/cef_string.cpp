#include "include/internal/cef_string.h"

#include <windows.h>
#include <cstdlib>
#include <cstring>
#include "base/Text.h"

static void FreeString(char16* str) { delete[] str; }

int cef_string_set(const char16* src, size_t len, cef_string_t* output, int copy) {
    if (!output) return 0;
    cef_string_clear(output);
    if (!src || len == 0) return 1;
    char16* buf = new char16[len + 1];
    memcpy(buf, src, len * sizeof(char16));
    buf[len] = 0;
    output->str = buf;
    output->length = len;
    output->dtor = FreeString;
    return 1;
}

void cef_string_clear(cef_string_t* str) {
    if (!str) return;
    if (str->str && str->dtor) str->dtor(str->str);
    str->str = nullptr;
    str->length = 0;
    str->dtor = nullptr;
}

std::wstring CefString::ToWString() const {
    if (bound_) return bound_->str ? std::wstring(bound_->str, bound_->length) : std::wstring();
    return value_;
}

std::string CefString::ToString() const {
    return base::Utf8FromWide(ToWString());
}

void CefString::FromWString(const std::wstring& s) {
    if (bound_) cef_string_set(s.data(), s.size(), bound_, 1);
    else value_ = s;
}

void CefString::FromString(const std::string& utf8) {
    FromWString(base::WideFromUtf8(utf8));
}

const wchar_t* CefString::c_str() const {
    if (bound_) return bound_->str ? bound_->str : L"";
    return value_.c_str();
}

size_t CefString::length() const { return bound_ ? bound_->length : value_.size(); }
