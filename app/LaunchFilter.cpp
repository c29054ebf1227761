#include "app/LaunchFilter.h"

#include <atomic>
#include <cstring>
#include <mutex>

// Threads: the replacements run on whatever thread starts a process (the engine
// starts its sub-processes from its own threads).
// - Patching, unpatching and the fallback restore-call-apply all hold g_patchLock,
//   so a fallback call can never re-apply a patch after RemoveAll, and two
//   fallback calls never interleave their unpatched windows.
// - The usual path needs no lock: the real function is reached through a copied
//   entry, so the patch stays in place while other threads launch. The fallback
//   cannot stop a launch that another thread starts while the entry is restored,
//   which is why the copy is preferred wherever the entry allows it.
// - The five bytes of an entry are replaced with one locked 8-byte exchange, so
//   a thread fetching the entry sees either the old or the new bytes, never a mix.

namespace {

enum { kAnsi = 0, kWide = 1, kSlots = 2 };

// mov edi,edi; push ebp; mov ebp,esp: three whole instructions with no
// position-dependent operand, so they run the same from a copy.
const unsigned char kHotPatchPrologue[5] = {0x8B, 0xFF, 0x55, 0x8B, 0xEC};
const size_t kStubBytes = 16;

std::recursive_mutex g_patchLock;
std::atomic<ProcessLaunchFilter*> g_filter{nullptr};
// Copied entries currently in use, per function; read without the lock.
std::atomic<void*> g_copiedEntry[kSlots];

// One page of copied entries, made on first use and kept for the life of the
// process: a thread may still be running through a copy after RemoveAll, and
// a later Install reuses them. Guarded by g_patchLock.
unsigned char* g_stubPage = nullptr;
void* g_stubTarget[kSlots] = {nullptr, nullptr};

void WriteEntry(void* at, const unsigned char bytes[5]) {
    DWORD old = 0;
    VirtualProtect(at, 8, PAGE_EXECUTE_READWRITE, &old);
    if (((uintptr_t)at & 63) <= 56) {
        volatile LONGLONG* word = static_cast<volatile LONGLONG*>(at);
        LONGLONG seen = *word;
        for (;;) {
            LONGLONG next = seen;
            memcpy(&next, bytes, 5);
            LONGLONG before = InterlockedCompareExchange64(word, next, seen);
            if (before == seen) break;
            seen = before;
        }
    } else {
        // Eight bytes across a cache line cannot be exchanged as one; entries
        // are aligned in practice, so this plain copy is the rare case.
        memcpy(at, bytes, 5);
    }
    VirtualProtect(at, 8, old, &old);
    FlushInstructionCache(GetCurrentProcess(), at, 5);
}

// Caller holds g_patchLock.
void* CopiedEntry(int slot, void* target, const unsigned char saved[5]) {
    if (memcmp(saved, kHotPatchPrologue, sizeof(kHotPatchPrologue)) != 0) return nullptr;
    if (!g_stubPage) {
        g_stubPage = static_cast<unsigned char*>(
            VirtualAlloc(nullptr, kStubBytes * kSlots, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READ));
        if (!g_stubPage) return nullptr;
    }
    unsigned char* stub = g_stubPage + slot * kStubBytes;
    if (g_stubTarget[slot] == target) return stub;
    // A copy already made for another entry may be in use: never rewrite it.
    if (g_stubTarget[slot]) return nullptr;

    // Writable and still executable while written, so a thread in the other
    // slot's copy keeps running.
    DWORD old = 0;
    VirtualProtect(g_stubPage, kStubBytes * kSlots, PAGE_EXECUTE_READWRITE, &old);
    memcpy(stub, saved, 5);
    stub[5] = 0xE9;
    int32_t back = (int32_t)((uintptr_t)target + 5 - ((uintptr_t)stub + 10));
    memcpy(stub + 6, &back, 4);
    VirtualProtect(g_stubPage, kStubBytes * kSlots, PAGE_EXECUTE_READ, &old);
    FlushInstructionCache(GetCurrentProcess(), stub, 10);
    g_stubTarget[slot] = target;
    return stub;
}

// Caller holds g_patchLock.
void InstallRecord(PatchRecord& record, int slot, const char* name, void* replacement) {
    if (record.replacement) return;
    record.replacement = replacement;
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    record.target = kernel ? reinterpret_cast<void*>(GetProcAddress(kernel, name)) : nullptr;
    if (!record.target) return;
    memcpy(record.saved, record.target, 5);
    record.displacement = (int32_t)((uintptr_t)record.replacement - (uintptr_t)record.target - 5);
    record.original = CopiedEntry(slot, record.target, record.saved);
    g_copiedEntry[slot].store(record.original);
    record.Apply();
}

template <typename Char>
bool HasMarker(const Char* commandLine);

template <>
bool HasMarker<wchar_t>(const wchar_t* commandLine) {
    return commandLine && (wcsstr(commandLine, L"NOT SANDBOXED") || wcsstr(commandLine, L"not sandboxed"));
}

template <>
bool HasMarker<char>(const char* commandLine) {
    return commandLine && (strstr(commandLine, "NOT SANDBOXED") || strstr(commandLine, "not sandboxed"));
}

// The caller is told a process was created; it gets no handles to close and no ids.
BOOL Refuse(LPPROCESS_INFORMATION processInformation) {
    if (processInformation) memset(processInformation, 0, sizeof(*processInformation));
    return TRUE;
}

}  // namespace

struct LaunchFilterAccess {
    // Calls the real function: through the copied entry when there is one, else
    // with the record restored for the call, serialised with every other patch
    // change. `call` receives the entry to call.
    template <typename Call>
    static BOOL PassOn(int slot, PatchRecord ProcessLaunchFilter::*member, const char* name, Call call) {
        if (void* entry = g_copiedEntry[slot].load()) return call(entry);

        std::lock_guard<std::recursive_mutex> lock(g_patchLock);
        ProcessLaunchFilter* filter = g_filter.load();
        if (!filter || !(filter->*member).target) {
            // Already removed: the entry holds its own bytes again.
            HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
            void* real = kernel ? reinterpret_cast<void*>(GetProcAddress(kernel, name)) : nullptr;
            if (!real) {
                SetLastError(ERROR_PROC_NOT_FOUND);
                return FALSE;
            }
            return call(real);
        }
        PatchRecord& record = filter->*member;
        record.Restore();
        BOOL result = call(record.target);
        DWORD error = GetLastError();
        if (!filter->removed) record.Apply();
        SetLastError(error);
        return result;
    }

    static void RemoveAfterMarker() {
        std::lock_guard<std::recursive_mutex> lock(g_patchLock);
        if (ProcessLaunchFilter* filter = g_filter.load()) filter->RemoveAll();
    }
};

void PatchRecord::Apply() {
    if (!target || !displacement) return;
    unsigned char jump[5] = {0xE9};
    memcpy(jump + 1, &displacement, 4);
    std::lock_guard<std::recursive_mutex> lock(g_patchLock);
    WriteEntry(target, jump);
}

void PatchRecord::Restore() {
    if (!target) return;
    std::lock_guard<std::recursive_mutex> lock(g_patchLock);
    WriteEntry(target, saved);
}

ProcessLaunchFilter::~ProcessLaunchFilter() {
    std::lock_guard<std::recursive_mutex> lock(g_patchLock);
    if (g_filter.load() == this) {
        if (!removed) RemoveAll();
        g_filter.store(nullptr);
    }
}

void ProcessLaunchFilter::Install() {
    std::lock_guard<std::recursive_mutex> lock(g_patchLock);
    g_filter.store(this);
    InstallRecord(wideRecord, kWide, "CreateProcessW", reinterpret_cast<void*>(&FilteredCreateProcessW));
    InstallRecord(ansiRecord, kAnsi, "CreateProcessA", reinterpret_cast<void*>(&FilteredCreateProcessA));
}

void ProcessLaunchFilter::RemoveAll() {
    std::lock_guard<std::recursive_mutex> lock(g_patchLock);
    removed = true;
    wideRecord.Restore();
    ansiRecord.Restore();
}

BOOL WINAPI FilteredCreateProcessW(LPCWSTR applicationName, LPWSTR commandLine,
                                   LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                                   BOOL inheritHandles, DWORD creationFlags, LPVOID environment,
                                   LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                                   LPPROCESS_INFORMATION processInformation) {
    if (HasMarker(commandLine)) return Refuse(processInformation);
    return LaunchFilterAccess::PassOn(kWide, &ProcessLaunchFilter::wideRecord, "CreateProcessW", [&](void* entry) {
        return reinterpret_cast<decltype(&CreateProcessW)>(entry)(applicationName, commandLine, processAttributes,
                                                                  threadAttributes, inheritHandles, creationFlags,
                                                                  environment, currentDirectory, startupInfo,
                                                                  processInformation);
    });
}

BOOL WINAPI FilteredCreateProcessA(LPCSTR applicationName, LPSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                                   LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                                   LPVOID environment, LPCSTR currentDirectory, LPSTARTUPINFOA startupInfo,
                                   LPPROCESS_INFORMATION processInformation) {
    if (HasMarker(commandLine)) {
        // A marked 8-bit launch takes the filter out of this process for good.
        LaunchFilterAccess::RemoveAfterMarker();
        return Refuse(processInformation);
    }
    return LaunchFilterAccess::PassOn(kAnsi, &ProcessLaunchFilter::ansiRecord, "CreateProcessA", [&](void* entry) {
        return reinterpret_cast<decltype(&CreateProcessA)>(entry)(applicationName, commandLine, processAttributes,
                                                                  threadAttributes, inheritHandles, creationFlags,
                                                                  environment, currentDirectory, startupInfo,
                                                                  processInformation);
    });
}
