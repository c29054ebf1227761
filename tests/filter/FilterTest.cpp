// The process-launch filter installed in this process: marked command lines are
// refused through either function, everything else reaches the real function
// unchanged, from several threads at once, and removal leaves kernel32 as found.
#include <gtest/gtest.h>
#include <windows.h>
#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include "app/LaunchFilter.h"
#include "common/TestEntry.h"
#include "common/TestUtil.h"

using namespace testutil;

namespace {

typedef std::array<unsigned char, 5> Bytes5;
const Bytes5 kPrologue = {0x8B, 0xFF, 0x55, 0x8B, 0xEC};
// The same instructions with "mov edi,edi" spelled as two no-ops: not the
// prologue the copied entry is made for, so the filter must take its fallback.
const Bytes5 kOtherPrologue = {0x90, 0x90, 0x55, 0x8B, 0xEC};
// How long a refused launch is given to show that no process ran anyway.
const DWORD kNoProcessWaitMs = 1000;
const DWORD kChildExitMs = 30000;

void* Entry(const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name));
}

Bytes5 Read5(void* at) {
    Bytes5 b;
    memcpy(b.data(), at, 5);
    return b;
}

void Write5(void* at, const Bytes5& b) {
    DWORD old = 0;
    VirtualProtect(at, 5, PAGE_EXECUTE_READWRITE, &old);
    memcpy(at, b.data(), 5);
    VirtualProtect(at, 5, old, &old);
    FlushInstructionCache(GetCurrentProcess(), at, 5);
}

std::string Hex(const Bytes5& b) {
    char buf[20];
    snprintf(buf, sizeof(buf), "%02X %02X %02X %02X %02X", b[0], b[1], b[2], b[3], b[4]);
    return buf;
}

// The entry holds a jump to the record's replacement.
::testing::AssertionResult Patched(const PatchRecord& r) {
    if (!r.target) return ::testing::AssertionFailure() << "no target";
    Bytes5 b = Read5(r.target);
    int32_t disp;
    memcpy(&disp, b.data() + 1, 4);
    if (b[0] != 0xE9 || (uintptr_t)r.target + 5 + disp != (uintptr_t)r.replacement)
        return ::testing::AssertionFailure() << "entry holds " << Hex(b);
    return ::testing::AssertionSuccess();
}

std::wstring Self() {
    wchar_t path[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::string Ansi(const std::wstring& w) {
    char buf[1024] = {0};
    WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, buf, sizeof(buf), nullptr, nullptr);
    return buf;
}

std::wstring SelfCommand(const std::wstring& args) { return L"\"" + Self() + L"\" " + args; }

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

PROCESS_INFORMATION Garbage() {
    PROCESS_INFORMATION pi;
    memset(&pi, 0xCC, sizeof(pi));
    return pi;
}

bool IsZero(const PROCESS_INFORMATION& pi) {
    return !pi.hProcess && !pi.hThread && !pi.dwProcessId && !pi.dwThreadId;
}

BOOL LaunchW(const std::wstring& command, PROCESS_INFORMATION* pi, const std::wstring& dir = L"",
             LPVOID env = nullptr, DWORD flags = 0) {
    std::vector<wchar_t> line(command.begin(), command.end());
    line.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    return CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, flags, env, dir.empty() ? nullptr : dir.c_str(),
                          &si, pi);
}

BOOL LaunchA(const std::wstring& command, PROCESS_INFORMATION* pi, const std::string& dir = "", LPVOID env = nullptr) {
    std::string narrow = Ansi(command);
    std::vector<char> line(narrow.begin(), narrow.end());
    line.push_back(0);
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    return CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, env, dir.empty() ? nullptr : dir.c_str(),
                          &si, pi);
}

// Waits for a started child and closes its handles; returns its exit code, or
// 0xFFFFFFFF when it did not end in time (it is then ended by handle).
DWORD Finish(PROCESS_INFORMATION& pi) {
    DWORD code = 0xFFFFFFFF;
    if (WaitForSingleObject(pi.hProcess, kChildExitMs) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
    else TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    pi = PROCESS_INFORMATION();
    return code;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t pos = 0, nl;
    while ((nl = text.find('\n', pos)) != std::string::npos) {
        out.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return out;
}

// Launches marked and unmarked command lines from two threads at once. Marked
// ones must be refused (and never run), unmarked ones must run to their own exit code.
void LaunchFromTwoThreads(const TempDir& dir, int perThread, bool withMarked) {
    std::mutex lock;
    std::vector<std::string> failures;
    std::atomic<int> ran{0}, refused{0};
    auto fail = [&](const std::string& what) {
        std::lock_guard<std::mutex> g(lock);
        failures.push_back(what);
    };
    auto worker = [&](int thread) {
        for (int i = 0; i < perThread; ++i) {
            int kind = withMarked ? i % 3 : 1 + i % 2;
            PROCESS_INFORMATION pi = Garbage();
            std::string tag = "thread " + std::to_string(thread) + " launch " + std::to_string(i);
            if (kind == 0) {
                std::wstring touch = dir.file(L"marked-" + std::to_wstring(thread) + L"-" + std::to_wstring(i));
                if (!LaunchW(SelfCommand(L"--child-touch \"" + touch + L"\" NOT SANDBOXED"), &pi))
                    fail(tag + ": marked launch returned FALSE");
                if (!IsZero(pi)) fail(tag + ": marked launch filled the process information");
                else ++refused;
                continue;
            }
            DWORD expected = 100 + thread * 50 + i;
            std::wstring args = L"--child-exit " + std::to_wstring(expected);
            BOOL ok = kind == 1 ? LaunchW(SelfCommand(args), &pi) : LaunchA(SelfCommand(args), &pi);
            if (!ok) {
                fail(tag + ": launch failed, error " + std::to_string(GetLastError()));
                continue;
            }
            DWORD code = Finish(pi);
            if (code != expected) fail(tag + ": exit code " + std::to_string(code));
            else ++ran;
        }
    };
    DWORD start = GetTickCount();
    std::thread a(worker, 0), b(worker, 1);
    a.join();
    b.join();
    printf("[ info ] %d launches from two threads in %lu ms: %d ran, %d refused\n", 2 * perThread,
           GetTickCount() - start, ran.load(), refused.load());
    for (auto& f : failures) ADD_FAILURE() << f;
    if (withMarked) {
        Sleep(kNoProcessWaitMs);
        for (int t = 0; t < 2; ++t)
            for (int i = 0; i < perThread; i += 3)
                EXPECT_FALSE(Exists(dir.file(L"marked-" + std::to_wstring(t) + L"-" + std::to_wstring(i))))
                    << "a marked launch ran (thread " << t << ", launch " << i << ")";
    }
}

// Ordinary launches through both functions: command line, folder and
// environment reach the child exactly as given.
void ExpectOrdinaryLaunchesPassUnchanged(const TempDir& dir, const ProcessLaunchFilter& filter) {
    std::wstring report = dir.file(L"report-w.txt");
    std::wstring command = SelfCommand(L"--child-report \"" + report + L"\" plain \"two words\"");
    wchar_t env[] = L"VM_FILTER_PROBE=wide-42\0SystemRoot=C:\\windows\0\0";
    PROCESS_INFORMATION pi = Garbage();
    ASSERT_TRUE(LaunchW(command, &pi, dir.path(), env, CREATE_UNICODE_ENVIRONMENT)) << GetLastError();
    EXPECT_NE(0u, pi.dwProcessId);
    EXPECT_EQ(7u, Finish(pi));
    std::vector<std::string> lines = Lines(ReadTextFile(report));
    ASSERT_EQ(3u, lines.size()) << ReadTextFile(report);
    EXPECT_EQ(Utf8(command), lines[0]);
    EXPECT_EQ(Utf8(dir.path()), lines[1]);
    EXPECT_EQ("wide-42", lines[2]);
    EXPECT_TRUE(Patched(filter.wideRecord)) << "the patch is back after the call";

    report = dir.file(L"report-a.txt");
    command = SelfCommand(L"--child-report \"" + report + L"\" narrow");
    char envA[] = "VM_FILTER_PROBE=ansi-7\0SystemRoot=C:\\windows\0";
    pi = Garbage();
    ASSERT_TRUE(LaunchA(command, &pi, Ansi(dir.path()), envA)) << GetLastError();
    EXPECT_EQ(7u, Finish(pi));
    lines = Lines(ReadTextFile(report));
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(Utf8(command), lines[0]);
    EXPECT_EQ(Utf8(dir.path()), lines[1]);
    EXPECT_EQ("ansi-7", lines[2]);
    EXPECT_TRUE(Patched(filter.ansiRecord));

    // A failing launch fails the same way, with the real function's error code.
    pi = Garbage();
    SetLastError(0);
    EXPECT_FALSE(LaunchW(L"\"C:\\no\\such\\program.exe\" x", &pi));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_FALSE(LaunchA(L"\"C:\\no\\such\\program.exe\" x", &pi));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_TRUE(Patched(filter.wideRecord));
    EXPECT_TRUE(Patched(filter.ansiRecord));
}

class Filter : public ::testing::Test {
protected:
    void SetUp() override {
        entryW = Entry("CreateProcessW");
        entryA = Entry("CreateProcessA");
        ASSERT_TRUE(entryW && entryA);
        foundW = Read5(entryW);
        foundA = Read5(entryA);
        ASSERT_NE(0xE9, foundW[0]) << "an earlier test left the entry patched";
        ASSERT_NE(0xE9, foundA[0]) << "an earlier test left the entry patched";
        filter.reset(new ProcessLaunchFilter);
        filter->Install();
    }
    void TearDown() override {
        filter.reset();
        EXPECT_EQ(Hex(foundW), Hex(Read5(entryW))) << "CreateProcessW not restored";
        EXPECT_EQ(Hex(foundA), Hex(Read5(entryA))) << "CreateProcessA not restored";
    }

    void* entryW = nullptr;
    void* entryA = nullptr;
    Bytes5 foundW{}, foundA{};
    std::unique_ptr<ProcessLaunchFilter> filter;
    TempDir dir;
};

}  // namespace

TEST_F(Filter, InstallPatchesBothEntriesOnceAndUsesTheCopiedEntryForTheHotPatchPrologue) {
    printf("[ info ] CreateProcessW begins %s, CreateProcessA begins %s\n", Hex(foundW).c_str(), Hex(foundA).c_str());
    EXPECT_EQ(entryW, filter->wideRecord.target);
    EXPECT_EQ(entryA, filter->ansiRecord.target);
    EXPECT_EQ(reinterpret_cast<void*>(&FilteredCreateProcessW), filter->wideRecord.replacement);
    EXPECT_EQ(reinterpret_cast<void*>(&FilteredCreateProcessA), filter->ansiRecord.replacement);
    EXPECT_EQ(Hex(foundW), Hex(Bytes5{filter->wideRecord.saved[0], filter->wideRecord.saved[1],
                                      filter->wideRecord.saved[2], filter->wideRecord.saved[3],
                                      filter->wideRecord.saved[4]}));
    EXPECT_TRUE(Patched(filter->wideRecord));
    EXPECT_TRUE(Patched(filter->ansiRecord));
    // The prologue Wine's and Windows' entries begin with is run from a copy.
    EXPECT_EQ(foundW == kPrologue, filter->wideRecord.original != nullptr);
    EXPECT_EQ(foundA == kPrologue, filter->ansiRecord.original != nullptr);
    if (foundW == kPrologue) {
        const unsigned char* copy = static_cast<const unsigned char*>(filter->wideRecord.original);
        EXPECT_EQ(Hex(kPrologue), Hex(Read5(filter->wideRecord.original)));
        int32_t back;
        memcpy(&back, copy + 6, 4);
        EXPECT_EQ(0xE9, copy[5]);
        EXPECT_EQ((uintptr_t)entryW + 5, (uintptr_t)copy + 10 + back);
    }

    // A second Install changes nothing.
    PatchRecord before = filter->wideRecord;
    filter->Install();
    EXPECT_EQ(before.target, filter->wideRecord.target);
    EXPECT_EQ(before.replacement, filter->wideRecord.replacement);
    EXPECT_EQ(0, memcmp(before.saved, filter->wideRecord.saved, 5));
    EXPECT_EQ(before.displacement, filter->wideRecord.displacement);
    EXPECT_EQ(before.original, filter->wideRecord.original);
    EXPECT_TRUE(Patched(filter->wideRecord));
}

TEST_F(Filter, MarkedLaunchThroughTheWideFunctionIsRefusedAndTheFilterStays) {
    for (const wchar_t* marker : {L"NOT SANDBOXED", L"not sandboxed"}) {
        std::wstring touch = dir.file(std::wstring(L"ran-") + marker[0]);
        PROCESS_INFORMATION pi = Garbage();
        EXPECT_TRUE(LaunchW(SelfCommand(L"--child-touch \"" + touch + L"\" " + marker), &pi));
        EXPECT_TRUE(IsZero(pi)) << "a refused launch hands out no handles or ids";
        Sleep(kNoProcessWaitMs);
        EXPECT_FALSE(Exists(touch)) << "a process ran for a command line with the marker";
        EXPECT_TRUE(Patched(filter->wideRecord));
        EXPECT_TRUE(Patched(filter->ansiRecord));
    }
    // Without process information to fill, still TRUE.
    std::wstring line = SelfCommand(L"--child-exit 3 NOT SANDBOXED");
    std::vector<wchar_t> buf(line.begin(), line.end());
    buf.push_back(0);
    STARTUPINFOW si = {sizeof(si)};
    EXPECT_TRUE(CreateProcessW(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, nullptr));
}

TEST_F(Filter, MarkedLaunchThroughTheAnsiFunctionIsRefusedAndUnpatchesBothForGood) {
    std::wstring touch = dir.file(L"ran-ansi");
    PROCESS_INFORMATION pi = Garbage();
    EXPECT_TRUE(LaunchA(SelfCommand(L"--child-touch \"" + touch + L"\" NOT SANDBOXED"), &pi));
    EXPECT_TRUE(IsZero(pi));
    EXPECT_EQ(Hex(foundW), Hex(Read5(entryW)));
    EXPECT_EQ(Hex(foundA), Hex(Read5(entryA)));
    Sleep(kNoProcessWaitMs);
    EXPECT_FALSE(Exists(touch));

    // From now on nothing is filtered: a marked wide launch really starts.
    std::wstring touchAfter = dir.file(L"ran-after");
    pi = Garbage();
    ASSERT_TRUE(LaunchW(SelfCommand(L"--child-touch \"" + touchAfter + L"\" NOT SANDBOXED"), &pi));
    EXPECT_EQ(7u, Finish(pi));
    EXPECT_TRUE(Exists(touchAfter));
    // Nor does Install bring it back.
    filter->Install();
    EXPECT_EQ(Hex(foundW), Hex(Read5(entryW)));
}

TEST_F(Filter, MarkerWordsInMixedCapitalsPassAndTheProcessRuns) {
    std::wstring touchW = dir.file(L"mixed-w"), touchA = dir.file(L"mixed-a");
    PROCESS_INFORMATION pi = Garbage();
    DWORD start = GetTickCount();
    ASSERT_TRUE(LaunchW(SelfCommand(L"--child-touch \"" + touchW + L"\" Not Sandboxed"), &pi));
    EXPECT_EQ(7u, Finish(pi));
    printf("[ info ] one child process start and exit: %lu ms\n", GetTickCount() - start);
    EXPECT_TRUE(Exists(touchW));
    pi = Garbage();
    ASSERT_TRUE(LaunchA(SelfCommand(L"--child-touch \"" + touchA + L"\" Not Sandboxed"), &pi));
    EXPECT_EQ(7u, Finish(pi));
    EXPECT_TRUE(Exists(touchA));
    EXPECT_TRUE(Patched(filter->wideRecord));
    EXPECT_TRUE(Patched(filter->ansiRecord));
}

TEST_F(Filter, OrdinaryLaunchesGetIdenticalArgumentsAndThePatchIsBackAfterwards) {
    ExpectOrdinaryLaunchesPassUnchanged(dir, *filter);
}

TEST_F(Filter, RemoveAllRestoresTheOriginalFirstBytes) {
    filter->RemoveAll();
    EXPECT_EQ(Hex(foundW), Hex(Read5(entryW)));
    EXPECT_EQ(Hex(foundA), Hex(Read5(entryA)));
    PROCESS_INFORMATION pi = Garbage();
    ASSERT_TRUE(LaunchW(SelfCommand(L"--child-exit 5"), &pi));
    EXPECT_EQ(5u, Finish(pi));
}

TEST_F(Filter, TwoThreadsLaunchingAtOnce) {
    LaunchFromTwoThreads(dir, 30, true);
    EXPECT_TRUE(Patched(filter->wideRecord));
    EXPECT_TRUE(Patched(filter->ansiRecord));
}

// Entries that do not begin with the hot-patch prologue: the filter must call
// the real function by restoring it for the call, serialised.
class FilterFallback : public ::testing::Test {
protected:
    void SetUp() override {
        entryW = Entry("CreateProcessW");
        entryA = Entry("CreateProcessA");
        ASSERT_TRUE(entryW && entryA);
        if (Read5(entryW) != kPrologue || Read5(entryA) != kPrologue)
            GTEST_SKIP() << "\n*** SKIPPED: the entries here do not begin with the hot-patch prologue, so every "
                            "Filter test above already ran the fallback ***\n";
        Write5(entryW, kOtherPrologue);
        Write5(entryA, kOtherPrologue);
        rewritten = true;
        filter.reset(new ProcessLaunchFilter);
        filter->Install();
    }
    void TearDown() override {
        filter.reset();
        if (rewritten) {
            EXPECT_EQ(Hex(kOtherPrologue), Hex(Read5(entryW)));
            EXPECT_EQ(Hex(kOtherPrologue), Hex(Read5(entryA)));
            Write5(entryW, kPrologue);
            Write5(entryA, kPrologue);
        }
    }

    void* entryW = nullptr;
    void* entryA = nullptr;
    bool rewritten = false;
    std::unique_ptr<ProcessLaunchFilter> filter;
    TempDir dir;
};

TEST_F(FilterFallback, SameBehaviourThroughTheLockedRestoreCallApply) {
    EXPECT_EQ(nullptr, filter->wideRecord.original);
    EXPECT_EQ(nullptr, filter->ansiRecord.original);
    EXPECT_TRUE(Patched(filter->wideRecord));

    std::wstring touch = dir.file(L"ran");
    PROCESS_INFORMATION pi = Garbage();
    EXPECT_TRUE(LaunchW(SelfCommand(L"--child-touch \"" + touch + L"\" NOT SANDBOXED"), &pi));
    EXPECT_TRUE(IsZero(pi));

    ExpectOrdinaryLaunchesPassUnchanged(dir, *filter);
    // Unmarked launches only: while one thread has the entry restored, a marked
    // launch on another thread is not seen (the reason the copied entry is preferred).
    LaunchFromTwoThreads(dir, 10, false);
    EXPECT_TRUE(Patched(filter->wideRecord));
    EXPECT_TRUE(Patched(filter->ansiRecord));
    EXPECT_FALSE(Exists(touch));
}
