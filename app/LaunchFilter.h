// Process-launch filter: kernel32's CreateProcessW and CreateProcessA are patched
// with a jump to our replacements, which refuse any command line carrying the
// "NOT SANDBOXED" / "not sandboxed" marker and pass every other call on unchanged.
#pragma once

#include <windows.h>
#include <cstdint>

// One intercepted function.
struct PatchRecord {
    void* target = nullptr;       // not owned: kernel32 entry; null until resolved
    void* replacement = nullptr;  // not owned: our function; null until Install handled the record
    unsigned char saved[5] = {};  // the entry's first five bytes before patching
    int32_t displacement = 0;     // replacement - target - 5: operand of the jump
    // Reaches the real function without unpatching: the saved bytes followed by a
    // jump to target + 5. Null when the saved bytes are not the hot-patch prologue;
    // calls then take the locked restore-call-apply path. Not owned: a slot of the
    // filter's stub page, which lives as long as the process.
    void* original = nullptr;

    // Writes the jump over the entry (needs target and displacement).
    void Apply();
    // Puts the saved bytes back (needs target).
    void Restore();
};

class ProcessLaunchFilter {
public:
    ProcessLaunchFilter() = default;
    // Removes the patches if they are still in place: the replacements must not
    // outlive the records they reach.
    ~ProcessLaunchFilter();
    ProcessLaunchFilter(const ProcessLaunchFilter&) = delete;
    ProcessLaunchFilter& operator=(const ProcessLaunchFilter&) = delete;

    // Resolves and patches both functions, the wide one first. A second call changes nothing.
    void Install();
    // Restores both functions, the wide one first; they stay unpatched afterwards.
    void RemoveAll();

    PatchRecord ansiRecord;  // CreateProcessA
    PatchRecord wideRecord;  // CreateProcessW

private:
    friend struct LaunchFilterAccess;
    bool removed = false;
};

BOOL WINAPI FilteredCreateProcessW(LPCWSTR applicationName, LPWSTR commandLine,
                                   LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                                   BOOL inheritHandles, DWORD creationFlags, LPVOID environment,
                                   LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                                   LPPROCESS_INFORMATION processInformation);

BOOL WINAPI FilteredCreateProcessA(LPCSTR applicationName, LPSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                                   LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                                   LPVOID environment, LPCSTR currentDirectory, LPSTARTUPINFOA startupInfo,
                                   LPPROCESS_INFORMATION processInformation);
