#include "app/CacheCleaner.h"

#include <windows.h>
#include <string>

namespace {
// Drops the link (junction or symbolic link) at `path` itself. The entry is
// opened as the link, not through it, and goes only when the handle confirms
// that it is the link: where links cannot be opened as such (Wine follows
// host links), it stays, and what it points at stays too.
void RemoveLink(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof(tag)) &&
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        FILE_DISPOSITION_INFO dispose = {TRUE};
        SetFileInformationByHandle(h, FileDispositionInfo, &dispose, sizeof(dispose));
    }
    CloseHandle(h);
}
}  // namespace

void DeleteDirectoryTree(const wchar_t* path) {
    if (!path) return;
    std::wstring folder = path;
    // The folder itself may be a link as much as anything in it.
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        RemoveLink(folder);
        return;
    }
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((folder + L"\\*.*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring child = folder + L"\\" + name;
        bool isDir = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        bool isLink = (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (isDir && isLink) {
            RemoveLink(child);
        } else if (isDir) {
            DeleteDirectoryTree(child.c_str());
        } else {
            DeleteFileW(child.c_str());
        }
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    RemoveDirectoryW(folder.c_str());
}
