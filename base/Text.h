#pragma once
// Text conversions and cuts that keep characters whole.
//
// Fixed-size fields (a 64-byte name, a 512-unit address) take text that may be
// longer. A cut must never leave half a character behind: half a surrogate
// pair, the lead bytes of a UTF-8 sequence, the first byte of a double-byte
// character. The cut lengths below are the longest prefix within the limit
// that ends on a character boundary.

#include <windows.h>
#include <string>

namespace base {

// UTF-16 to 8-bit text of `codePage` (CP_UTF8, CP_ACP, ...) and back, with the
// system's rules for what cannot be represented: into UTF-8 an unpaired
// surrogate becomes U+FFFD, into an ANSI code page the default character.
std::string NarrowFromWide(const std::wstring& text, UINT codePage);
std::wstring WideFromNarrow(const std::string& text, UINT codePage);
inline std::string Utf8FromWide(const std::wstring& text) { return NarrowFromWide(text, CP_UTF8); }
inline std::wstring WideFromUtf8(const std::string& text) { return WideFromNarrow(text, CP_UTF8); }

// Units of `text` (`length` long) to keep within `max`: never ends between the
// two halves of a surrogate pair that the cut separates.
size_t Utf16CutLength(const wchar_t* text, size_t length, size_t max);
// Bytes of UTF-8 `text` to keep within `max`: never inside a multi-byte sequence.
size_t Utf8CutLength(const char* text, size_t length, size_t max);
// Bytes of `text` in `codePage` to keep within `max`, stepping by the code
// page's characters (double-byte code pages included).
size_t CodePageCutLength(const char* text, size_t length, size_t max, UINT codePage);

// The same cuts in place.
inline void CutUtf16(std::wstring& text, size_t max) { text.resize(Utf16CutLength(text.data(), text.size(), max)); }
inline void CutUtf8(std::string& text, size_t max) { text.resize(Utf8CutLength(text.data(), text.size(), max)); }

}  // namespace base
