// The kit as it runs: every listed file copied into a folder only SYSTEM and
// Administrators can write and checked there, so that nothing can be swapped
// between its check and its start, and no library planted beside a program
// can be loaded by it; and results\, made anew for each run.
#include "kit/kit.h"

#include <cstdio>

namespace kit {

namespace {

const char* const copy_prefix = "\\veltrax-place-verify.run-";

}  // namespace

std::string make_run_copy(const std::string& kit, const std::vector<Listed>& listed, std::string& why) {
    const std::string copy =
        program_data() + copy_prefix + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64());
    if (!make_private_folder(copy, false)) {
        why = "cannot make a folder of its own at " + copy;
        return "";
    }
    for (const Listed& file : listed) {
        bool readable = false;
        const std::string bytes = read_file(kit + "\\" + file.name, &readable);
        if (!readable) {
            why = file.name + " is missing from the kit; unzip the kit again";
        } else if (sha256(bytes) != file.sha256) {
            why = file.name + " is not the file the kit was made with; unzip the kit again";
        } else {
            // Folders inside the copy take its protection.
            for (std::size_t at = file.name.find('\\'); at != std::string::npos; at = file.name.find('\\', at + 1)) {
                CreateDirectoryA((copy + "\\" + file.name.substr(0, at)).c_str(), nullptr);
            }
            if (write_new_file(copy + "\\" + file.name, bytes)) continue;
            why = "cannot copy " + file.name + " to " + copy;
        }
        remove_tree(copy);
        return "";
    }
    return copy;
}

std::vector<std::string> run_copies() {
    const std::string data = program_data();
    std::vector<std::string> copies;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((data + copy_prefix + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return copies;
    do {
        // A link is none of ours: it stays, and what it points to too.
        const std::string path = data + "\\" + found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && made_by_an_administrator(path))
            copies.push_back(path);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return copies;
}

bool remove_run_copies() {
    bool whole = true;
    for (const std::string& copy : run_copies()) whole = remove_tree(copy) && whole;
    return whole;
}

std::string keep_results(const std::string& results) {
    Handle folder(CreateFileA(results.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILETIME made{}, local{};
    SYSTEMTIME when{};
    if (folder.h == nullptr) return "";
    if (!GetFileTime(folder.h, &made, nullptr, nullptr) || !FileTimeToLocalFileTime(&made, &local) ||
        !FileTimeToSystemTime(&local, &when)) {
        GetLocalTime(&when);
    }
    folder.close();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "-%04u-%02u-%02u-%02u%02u%02u", when.wYear, when.wMonth, when.wDay, when.wHour,
                  when.wMinute, when.wSecond);
    for (unsigned attempt = 1; attempt < 100; ++attempt) {
        if (attempt > 1) std::snprintf(stamp + 18, sizeof stamp - 18, "-%u", attempt);
        const std::string kept = results + stamp;
        if (MoveFileExA(results.c_str(), kept.c_str(), 0)) return kept;
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    return "";
}

}  // namespace kit
