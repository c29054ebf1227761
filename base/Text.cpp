#include "base/Text.h"

namespace base {

std::string NarrowFromWide(const std::wstring& text, UINT codePage) {
    if (text.empty()) return std::string();
    int bytes = WideCharToMultiByte(codePage, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::string();
    std::string out(bytes, '\0');
    WideCharToMultiByte(codePage, 0, text.data(), (int)text.size(), &out[0], bytes, nullptr, nullptr);
    return out;
}

std::wstring WideFromNarrow(const std::string& text, UINT codePage) {
    if (text.empty()) return std::wstring();
    int units = MultiByteToWideChar(codePage, 0, text.data(), (int)text.size(), nullptr, 0);
    if (units <= 0) return std::wstring();
    std::wstring out(units, L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), (int)text.size(), &out[0], units);
    return out;
}

size_t Utf16CutLength(const wchar_t* text, size_t length, size_t max) {
    if (length <= max) return length;
    size_t keep = max;
    if (keep > 0 && text[keep - 1] >= 0xD800 && text[keep - 1] <= 0xDBFF) --keep;
    return keep;
}

size_t Utf8CutLength(const char* text, size_t length, size_t max) {
    if (length <= max) return length;
    size_t keep = max;
    // text[keep] is the first byte left out: while it continues a sequence, the
    // sequence started inside the kept part and goes with it.
    while (keep > 0 && ((unsigned char)text[keep] & 0xC0) == 0x80) --keep;
    return keep;
}

size_t CodePageCutLength(const char* text, size_t length, size_t max, UINT codePage) {
    if (length <= max) return length;
    std::string copy(text, length);  // CharNextExA needs the terminator
    const char* begin = copy.c_str();
    size_t keep = 0;
    for (const char* p = begin; *p;) {
        const char* next = CharNextExA((WORD)codePage, p, 0);
        if (next == p || (size_t)(next - begin) > max) break;
        keep = next - begin;
        p = next;
    }
    return keep;
}

}  // namespace base
