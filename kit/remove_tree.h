// Removes a file, or a folder with everything below it, read-only entries
// too, never following a link: each entry is opened once, without following
// a reparse point and without letting anyone else delete or rename it; what
// it is and holds is read, and it is deleted, through that handle, so no
// folder can be swapped for a junction between the look and the removal. A
// link met anywhere stays, with what it points to, and the removal reports
// that something is left. (Wine opens a Unix symbolic link as its target,
// and shows it as a link only in a listing or a look by path: an entry
// counts as a link when any of these says so.) True when nothing is left.
// The kit's runner and the Windows test machine clean up with it.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace veltrax::testing {

namespace remove_tree_detail {

inline bool gone(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

struct Entry {
    HANDLE handle = INVALID_HANDLE_VALUE;
    explicit Entry(const std::wstring& path)
        : handle(CreateFileW(path.c_str(), DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)) {}
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    ~Entry() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};

// The names in an open folder and their attributes, read through its handle; false when they cannot be read.
inline bool names_in(HANDLE folder, std::vector<std::pair<std::wstring, DWORD>>& names) {
    alignas(8) char block[16384];
    for (auto kind = FileIdBothDirectoryRestartInfo;; kind = FileIdBothDirectoryInfo) {
        if (!GetFileInformationByHandleEx(folder, kind, block, sizeof block)) return GetLastError() == ERROR_NO_MORE_FILES;
        for (std::size_t at = 0;;) {
            const auto* found = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(block + at);
            const std::wstring name(found->FileName, found->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") names.emplace_back(name, found->FileAttributes);
            if (found->NextEntryOffset == 0) break;
            at += found->NextEntryOffset;
        }
    }
}

// Marks the open entry for deletion (read-only cleared first); it goes when the handle closes.
inline bool delete_through(const Entry& entry, DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        FILE_BASIC_INFO basic{};
        basic.FileAttributes = (attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)) | FILE_ATTRIBUTE_NORMAL;
        if (!SetFileInformationByHandle(entry.handle, FileBasicInfo, &basic, sizeof basic)) return false;
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(entry.handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// `listed`: the entry's attributes as its folder's listing (or a look by path) shows them.
inline bool remove_entry(const std::wstring& path, DWORD listed) {
    if ((listed & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return false;
    const Entry entry(path);
    if (entry.handle == INVALID_HANDLE_VALUE) return gone(GetLastError());
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(entry.handle, FileAttributeTagInfo, &tag, sizeof tag) ||
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return false;
    bool whole = true;
    if ((tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        // Held open, the folder cannot be renamed or replaced: the names below it are its own.
        std::vector<std::pair<std::wstring, DWORD>> below;
        whole = names_in(entry.handle, below);
        for (const auto& [name, attributes] : below) whole = remove_entry(path + L"\\" + name, attributes) && whole;
    }
    return whole && delete_through(entry, tag.FileAttributes);
}

}  // namespace remove_tree_detail

inline bool remove_tree(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return remove_tree_detail::gone(GetLastError());
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return false;
    const int length = MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    return length > 0 &&
           MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), wide.data(), length) == length &&
           remove_tree_detail::remove_entry(wide, 0) &&
           GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES && remove_tree_detail::gone(GetLastError());
}

}  // namespace veltrax::testing
