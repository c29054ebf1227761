// Removal of the cache folder: everything removable goes, links are never followed.
#include <gtest/gtest.h>
#include <string>
#include "app/CacheCleaner.h"
#include "common/TestUtil.h"

using namespace testutil;

namespace {

bool Exists(const std::wstring& p) { return GetFileAttributesW(p.c_str()) != INVALID_FILE_ATTRIBUTES; }

typedef char*(CDECL* UnixNameFn)(const wchar_t*);

// Makes `link` a symbolic link to the folder `target`: CreateSymbolicLinkW on
// Windows; under Wine, whose links are host links, the host's ln.
bool MakeFolderLink(const std::wstring& link, const std::wstring& target) {
    HMODULE k32 = GetModuleHandleW(L"kernel32.dll");
    auto unixName = reinterpret_cast<UnixNameFn>(reinterpret_cast<void*>(GetProcAddress(k32, "wine_get_unix_file_name")));
    if (!unixName) {
        typedef BOOLEAN(WINAPI * CreateLinkFn)(LPCWSTR, LPCWSTR, DWORD);
        auto create = reinterpret_cast<CreateLinkFn>(reinterpret_cast<void*>(GetProcAddress(k32, "CreateSymbolicLinkW")));
        return create && create(link.c_str(), target.c_str(), 1 /* directory */);
    }
    char* l = unixName(link.c_str());
    char* t = unixName(target.c_str());
    if (!l || !t) return false;
    std::string cmd = std::string("Z:\\bin\\ln -s \"") + t + "\" \"" + l + "\"";
    HeapFree(GetProcessHeap(), 0, l);
    HeapFree(GetProcessHeap(), 0, t);
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::vector<char> buf(cmd.begin(), cmd.end());
    buf.push_back(0);
    if (!CreateProcessA(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    // Wine may signal a host program's handle before its effect is visible.
    for (int i = 0; i < 50 && !Exists(link); ++i) Sleep(100);
    return Exists(link);
}

}  // namespace

TEST(CacheClearing, RemovesTheTreeButKeepsReadOnlyFilesAndNeverFollowsLinks) {
    TempDir root;
    std::wstring cache = root.file(L"vorn"), outside = root.file(L"outside");
    CreateDirectoryW(cache.c_str(), nullptr);
    CreateDirectoryW(outside.c_str(), nullptr);
    WriteTextFile(outside + L"\\precious.txt", "not cache");

    WriteTextFile(cache + L"\\top.txt", "x");
    CreateDirectoryW((cache + L"\\Cache").c_str(), nullptr);
    WriteTextFile(cache + L"\\Cache\\data_1", "x");
    CreateDirectoryW((cache + L"\\Cache\\deep").c_str(), nullptr);
    WriteTextFile(cache + L"\\Cache\\deep\\f", "x");
    std::wstring hidden = cache + L"\\Hidden";
    CreateDirectoryW(hidden.c_str(), nullptr);
    WriteTextFile(hidden + L"\\h.txt", "x");
    SetFileAttributesW(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_ARCHIVE);
    std::wstring lockedDir = cache + L"\\Locked";
    CreateDirectoryW(lockedDir.c_str(), nullptr);
    WriteTextFile(lockedDir + L"\\ro.txt", "x");
    SetFileAttributesW((lockedDir + L"\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(MakeFolderLink(cache + L"\\link", outside)) << "could not create a folder link for the test";

    DeleteDirectoryTree(cache.c_str());

    EXPECT_TRUE(Exists(outside + L"\\precious.txt")) << "a link was followed out of the cache folder";
    EXPECT_FALSE(Exists(cache + L"\\top.txt"));
    EXPECT_FALSE(Exists(cache + L"\\Cache")) << "nested folders must go";
    EXPECT_FALSE(Exists(hidden)) << "a hidden folder is still a folder";
    EXPECT_TRUE(Exists(lockedDir + L"\\ro.txt")) << "read-only files stay";
    EXPECT_TRUE(Exists(cache)) << "a folder that still holds a file cannot go";

    SetFileAttributesW((lockedDir + L"\\ro.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Only the link may go (Wine cannot remove a host link without following it, so
// there it stays): never anything it points at, not even an empty folder.
TEST(CacheClearing, ACacheFolderThatIsALinkIsNotFollowed) {
    TempDir root;
    std::wstring outside = root.file(L"outside"), empty = root.file(L"empty");
    CreateDirectoryW(outside.c_str(), nullptr);
    WriteTextFile(outside + L"\\precious.txt", "not cache");
    CreateDirectoryW((outside + L"\\sub").c_str(), nullptr);
    WriteTextFile(outside + L"\\sub\\also.txt", "not cache");
    CreateDirectoryW(empty.c_str(), nullptr);
    std::wstring cache = root.file(L"vorn"), cacheOfEmpty = root.file(L"vorn2");
    ASSERT_TRUE(MakeFolderLink(cache, outside)) << "could not create a folder link for the test";
    ASSERT_TRUE(MakeFolderLink(cacheOfEmpty, empty)) << "could not create a folder link for the test";

    DeleteDirectoryTree(cache.c_str());
    DeleteDirectoryTree(cacheOfEmpty.c_str());

    EXPECT_TRUE(Exists(outside + L"\\precious.txt")) << "the link in place of the cache folder was followed";
    EXPECT_TRUE(Exists(outside + L"\\sub\\also.txt"));
    EXPECT_TRUE(Exists(empty)) << "the empty folder a link pointed at was removed";
}

TEST(CacheClearing, MissingFolderIsNotAnError) {
    TempDir root;
    DeleteDirectoryTree(root.file(L"absent").c_str());
    DeleteDirectoryTree(nullptr);
    EXPECT_TRUE(Exists(root.path()));
}
