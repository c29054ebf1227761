// Access to the settings file (a Windows profile file) and the integer reading
// rules its values follow.
#pragma once

#include <windows.h>
#include <string>

// Values are read into 64 units: longer ones come back cut to 63.
const size_t kIniValueUnits = 64;

// Decimal text as the C conversion reads it: leading blanks and one sign, digits up
// to the first other character, nothing readable gives 0, out of range clamps.
int ParseIniInt(const wchar_t* text);

std::wstring IniReadString(const wchar_t* path, const wchar_t* section, const wchar_t* key);
int IniReadInt(const wchar_t* path, const wchar_t* section, const wchar_t* key);
void IniWriteString(const wchar_t* path, const wchar_t* section, const wchar_t* key, const wchar_t* value);
void IniWriteInt(const wchar_t* path, const wchar_t* section, const wchar_t* key, int value);
