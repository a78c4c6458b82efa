// Removes a file, or a folder with everything below it, read-only entries
// too, without ever following a link: a junction, symbolic link or mount
// point is removed itself and what it points to is left alone. True when
// nothing is left at the path. For the Windows test machine and the
// verification kit's runner, which both clean up after the tool.
#pragma once

#include <windows.h>

#include <string>

namespace veltrax::testing {

namespace remove_tree_detail {

inline bool gone() { return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND; }

inline bool remove_entry(const std::string& path, DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // The link itself: RemoveDirectory and DeleteFile never act on a target.
        return ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryA(path.c_str()) : DeleteFileA(path.c_str())) ||
               gone();
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesA(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return DeleteFileA(path.c_str()) || gone();
    bool whole = true;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name != "." && name != "..") whole = remove_entry(path + "\\" + name, found.dwFileAttributes) && whole;
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    return (RemoveDirectoryA(path.c_str()) || gone()) && whole;
}

}  // namespace remove_tree_detail

inline bool remove_tree(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return remove_tree_detail::gone();
    return remove_tree_detail::remove_entry(path, attributes);
}

}  // namespace veltrax::testing
