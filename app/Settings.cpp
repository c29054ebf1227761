#include "app/Settings.h"

#include <climits>
#include <cwchar>
#include <cwctype>
#include <vector>

namespace {

// Larger than any settings file of ours: not read, not rewritten, not written.
const DWORD kMaxSettingsFileBytes = 4 * 1024 * 1024;

// UTF-16 of either byte order; false on a unit that pairs wrongly.
bool DecodeUtf16(const unsigned char* b, size_t n, bool bigEndian, std::wstring* out) {
    if (n % 2) return false;
    out->clear();
    out->reserve(n / 2);
    for (size_t i = 0; i < n; i += 2) out->push_back(bigEndian ? (wchar_t)((b[i] << 8) | b[i + 1])
                                                               : (wchar_t)(b[i] | (b[i + 1] << 8)));
    for (size_t i = 0; i < out->size(); ++i) {
        wchar_t c = (*out)[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= out->size() || (*out)[i + 1] < 0xDC00 || (*out)[i + 1] > 0xDFFF) return false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

bool DecodeStrict(const char* b, size_t n, UINT codePage, std::wstring* out) {
    out->clear();
    if (n == 0) return true;
    int units = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, b, (int)n, nullptr, 0);
    if (units <= 0) return false;
    out->resize(units);
    return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, b, (int)n, &(*out)[0], units) == units;
}

// The 8-bit text comes back byte for byte through the code page: the profile
// functions keep it whole when they store the file again.
bool RoundTrips(const std::string& bytes, UINT codePage) {
    std::wstring wide;
    if (!DecodeStrict(bytes.data(), bytes.size(), codePage, &wide)) return false;
    int n = WideCharToMultiByte(codePage, 0, wide.data(), (int)wide.size(), nullptr, 0, nullptr, nullptr);
    if (n != (int)bytes.size()) return false;
    std::string back(n, '\0');
    WideCharToMultiByte(codePage, 0, wide.data(), (int)wide.size(), &back[0], n, nullptr, nullptr);
    return back == bytes;
}

// Text with a zero inside is cut there by the profile functions: its rest would be lost.
bool HasZero(const std::wstring& text) { return text.find(L'\0') != std::wstring::npos; }

// Decoded text that reads as settings: mostly Latin characters, with a section
// line or a key. Random bytes that happen to decode are not taken for text.
bool LooksLikeSettings(const std::wstring& text) {
    size_t latin = 0;
    for (wchar_t c : text)
        if (c < 0x80) ++latin;
    if (latin * 2 < text.size()) return false;
    return text.find(L'[') != std::wstring::npos || text.find(L'=') != std::wstring::npos;
}

SettingsFilePlan Plan(SettingsFilePlan::Kind kind, std::wstring text = std::wstring()) {
    SettingsFilePlan plan;
    plan.kind = kind;
    plan.text = std::move(text);
    return plan;
}

}  // namespace

SettingsFilePlan PlanSettingsFile(const std::string& bytes, UINT codePage) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes.data());
    // Zeros at the end (a write cut short, a file made in advance) hold nothing.
    size_t end = bytes.size();
    while (end > 0 && b[end - 1] == 0) --end;
    if (end == 0) return Plan(SettingsFilePlan::kUse);
    std::wstring text;
    auto decode16 = [&](size_t from, size_t to, bool bigEndian) {
        if (!DecodeUtf16(b + from, (to - from) & ~(size_t)1, bigEndian, &text)) return false;
        while (!text.empty() && text.back() == 0) text.pop_back();
        return !HasZero(text);
    };
    if (bytes.size() >= 2 && b[0] == 0xFF && b[1] == 0xFE)  // UTF-16 as the profile functions write it
        return Plan(decode16(2, bytes.size(), false) ? SettingsFilePlan::kUse : SettingsFilePlan::kKeepWhole);
    if (bytes.size() >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
        if (!decode16(2, bytes.size(), true)) return Plan(SettingsFilePlan::kKeepWhole);
        return Plan(SettingsFilePlan::kRewrite, text);
    }
    if (end >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        if (!DecodeStrict(bytes.data() + 3, end - 3, CP_UTF8, &text) || HasZero(text))
            return Plan(SettingsFilePlan::kKeepWhole);
        return Plan(SettingsFilePlan::kRewrite, text);
    }
    // The text without the zeros after it, but with the zero that completes its last
    // UTF-16 unit when there is one.
    size_t length = end % 2 && end < bytes.size() ? end + 1 : end;
    size_t zeroEven = 0, zeroOdd = 0;
    for (size_t i = 0; i < end; ++i)
        if (b[i] == 0) ++(i % 2 ? zeroOdd : zeroEven);
    if (zeroEven + zeroOdd > 0) {
        // 8-bit text has no zero bytes; UTF-16 text of Latin letters has one beside
        // each letter, on the side its byte order puts the high byte.
        if (length % 2 == 0 && zeroOdd != zeroEven && decode16(0, length, zeroEven > zeroOdd) &&
            LooksLikeSettings(text))
            return Plan(SettingsFilePlan::kRewrite, text);
        return Plan(SettingsFilePlan::kKeepWhole);
    }
    const std::string eightBit = bytes.substr(0, end);
    if (RoundTrips(eightBit, codePage)) return Plan(SettingsFilePlan::kUse);
    // Not text of this system's code page, but whole UTF-8.
    if (DecodeStrict(eightBit.data(), end, CP_UTF8, &text)) return Plan(SettingsFilePlan::kRewrite, text);
    // 8-bit text that is neither: the profile functions keep every line and key of
    // it and may change only the bytes they cannot read. Left unwritten instead, the
    // client's own bookkeeping would stop (RunCount never advancing, an install
    // report at every start; ClearCache never reset, the cache wiped at every start).
    return Plan(SettingsFilePlan::kUse);
}

bool PrepareSettingsFile(const wchar_t* path) {
    if (!path || !path[0]) return false;
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        // No file yet: the first write makes one. Any other reason it cannot be
        // read (locked, no right to it) leaves it alone.
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    LARGE_INTEGER size = {};
    std::string bytes;
    bool read = GetFileSizeEx(f, &size) && size.QuadPart <= kMaxSettingsFileBytes;
    if (read) {
        bytes.resize((size_t)size.QuadPart);
        DWORD got = 0;
        read = bytes.empty() || (ReadFile(f, &bytes[0], (DWORD)bytes.size(), &got, nullptr) && got == bytes.size());
    }
    CloseHandle(f);
    if (!read) return false;

    SettingsFilePlan plan = PlanSettingsFile(bytes, CP_ACP);
    if (plan.kind != SettingsFilePlan::kRewrite) return plan.kind == SettingsFilePlan::kUse;

    // The same text in the form the profile functions keep, written beside the
    // file and then put in its place in one step: a failure at any point leaves
    // the old file as it was.
    std::wstring temp = std::wstring(path) + L".new";
    HANDLE out = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return false;
    std::vector<unsigned char> data = {0xFF, 0xFE};
    for (wchar_t c : plan.text) {
        data.push_back((unsigned char)(c & 0xFF));
        data.push_back((unsigned char)(c >> 8));
    }
    DWORD written = 0;
    bool ok = WriteFile(out, data.data(), (DWORD)data.size(), &written, nullptr) && written == data.size() &&
              FlushFileBuffers(out);
    CloseHandle(out);
    if (ok) ok = MoveFileExW(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    if (!ok) DeleteFileW(temp.c_str());
    return ok;
}

int ParseIniInt(const wchar_t* text) {
    if (!text) return 0;
    const wchar_t* p = text;
    while (*p == L' ' || *p == L'\t' || *p == L'\n' || *p == L'\r' || *p == L'\v' || *p == L'\f') ++p;
    bool negative = false;
    if (*p == L'+' || *p == L'-') negative = (*p++ == L'-');
    long long value = 0;
    bool overflow = false;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        if (!overflow) {
            value = value * 10 + (*p - L'0');
            if (value > (long long)INT_MAX + 1) overflow = true;
        }
    }
    if (negative) value = -value;
    if (overflow || value > INT_MAX) return negative ? INT_MIN : INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return (int)value;
}

std::wstring IniReadString(const wchar_t* path, const wchar_t* section, const wchar_t* key) {
    PrepareSettingsFile(path);  // a file left whole is still read as far as it goes
    wchar_t buf[kIniValueUnits] = {0};
    GetPrivateProfileStringW(section, key, L"", buf, kIniValueUnits, path);
    buf[kIniValueUnits - 1] = 0;
    return buf;
}

int IniReadInt(const wchar_t* path, const wchar_t* section, const wchar_t* key) {
    return ParseIniInt(IniReadString(path, section, key).c_str());
}

void IniWriteString(const wchar_t* path, const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    if (!PrepareSettingsFile(path)) return;
    // A new file starts as UTF-16 so that the profile functions keep every
    // character of a name; in an 8-bit file they would turn Chinese into "?".
    // A file that exists already (the installer's) keeps its encoding.
    if (path && GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
        HANDLE f = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f != INVALID_HANDLE_VALUE) {
            static const unsigned char bom[2] = {0xFF, 0xFE};
            DWORD written = 0;
            WriteFile(f, bom, sizeof(bom), &written, nullptr);
            CloseHandle(f);
        }
    }
    WritePrivateProfileStringW(section, key, value, path);
}

void IniWriteInt(const wchar_t* path, const wchar_t* section, const wchar_t* key, int value) {
    wchar_t buf[16];
    swprintf(buf, 16, L"%d", value);
    IniWriteString(path, section, key, buf);
}
