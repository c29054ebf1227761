#include "app/CacheCleaner.h"

#include <windows.h>
#include <string>

void DeleteDirectoryTree(const wchar_t* path) {
    if (!path) return;
    std::wstring folder = path;
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
            // A junction or directory link: drop the link, leave its target alone.
            RemoveDirectoryW(child.c_str());
        } else if (isDir) {
            DeleteDirectoryTree(child.c_str());
        } else {
            DeleteFileW(child.c_str());
        }
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    RemoveDirectoryW(folder.c_str());
}
