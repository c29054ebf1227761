// Access to the settings file (a Windows profile file) and the integer reading
// rules its values follow.
//
// The profile functions read a file as 8-bit text of the system's code page, or
// as UTF-16 when it begins with the byte-order mark (Wine also knows a few other
// marks, Windows does not); on a write they store the whole file again as they
// read it. Any other file (UTF-16 without the mark, say) reads as empty and loses
// every key on the first write. So before each access the file is checked: one
// the functions cannot take as it is, but whose text is known, is replaced whole
// by the same text in UTF-16 with the mark; one they would lose keys of (zero bytes
// inside, broken UTF-16) is left as it is, and nothing is written to it.
#pragma once

#include <windows.h>
#include <string>

// Values are read into 64 units: longer ones come back cut to 63.
const size_t kIniValueUnits = 64;

// Decimal text as the C conversion reads it: leading blanks and one sign, digits up
// to the first other character, nothing readable gives 0, out of range clamps.
int ParseIniInt(const wchar_t* text);

// What a settings file of these bytes needs before the profile functions may
// touch it, with `codePage` the system's 8-bit code page.
struct SettingsFilePlan {
    enum Kind {
        kUse,        // read and written as it is
        kRewrite,    // replaced by `text` in UTF-16 with a byte-order mark first
        kKeepWhole,  // read as far as it goes, never written
    };
    Kind kind = kUse;
    std::wstring text;
};
SettingsFilePlan PlanSettingsFile(const std::string& bytes, UINT codePage);

// Brings the file at `path` into a form the profile functions read and rewrite
// without loss, replacing it in one step. False when it is to be left whole.
bool PrepareSettingsFile(const wchar_t* path);

std::wstring IniReadString(const wchar_t* path, const wchar_t* section, const wchar_t* key);
int IniReadInt(const wchar_t* path, const wchar_t* section, const wchar_t* key);
// Writes nothing to a file that PrepareSettingsFile leaves whole.
void IniWriteString(const wchar_t* path, const wchar_t* section, const wchar_t* key, const wchar_t* value);
void IniWriteInt(const wchar_t* path, const wchar_t* section, const wchar_t* key, int value);
