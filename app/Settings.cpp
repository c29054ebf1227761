#include "app/Settings.h"

#include <climits>
#include <cwchar>
#include <cwctype>

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
    wchar_t buf[kIniValueUnits] = {0};
    GetPrivateProfileStringW(section, key, L"", buf, kIniValueUnits, path);
    buf[kIniValueUnits - 1] = 0;
    return buf;
}

int IniReadInt(const wchar_t* path, const wchar_t* section, const wchar_t* key) {
    return ParseIniInt(IniReadString(path, section, key).c_str());
}

void IniWriteString(const wchar_t* path, const wchar_t* section, const wchar_t* key, const wchar_t* value) {
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
