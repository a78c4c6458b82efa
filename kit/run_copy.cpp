// The kit as it runs (see kit.h): nothing can be swapped between a file's
// check and its start, and no library planted beside a program is loaded by
// it; and results\, made anew for each run.
#include "kit/kit.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kit {

namespace {

bool is_hex(const std::string& text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(),
                                            [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

Manifest built_in() {
    Manifest built;
    const std::string text(manifest, strnlen(manifest, manifest_size));
    for (std::size_t at = 0, end = 0; at < text.size(); at = end + 1) {
        end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        if (line.rfind("about ", 0) == 0) {
            built.about = line.substr(6);
        } else if (line.rfind("product ", 0) == 0) {
            built.products.push_back(line.substr(8));
        } else if (line.rfind("upgrade ", 0) == 0) {
            built.upgrade = line.substr(8);
        } else if (line.size() > 65 && line[64] == ' ' && is_hex(line.substr(0, 64))) {
            built.files.push_back({line.substr(65), line.substr(0, 64)});
        }
    }
    if (built.files.empty() || built.upgrade.empty())
        refuse("this runner carries no list of the kit's files; use the runner of a kit the release made");
    return built;
}

std::vector<std::string> listed_programs(const std::vector<Listed>& listed) {
    std::vector<std::string> programs;
    const std::string ending = "_tests.exe";
    for (const Listed& file : listed) {
        const std::string& name = file.name;
        if (name.find('\\') == std::string::npos && name.size() > ending.size() &&
            name.compare(name.size() - ending.size(), ending.size(), ending) == 0) {
            programs.push_back(file.name.substr(0, file.name.size() - 4));
        }
    }
    std::sort(programs.begin(), programs.end());
    return programs;
}


Handle make_run_copy(const std::string& kit, const std::vector<Listed>& listed, std::string& why) {
    const std::string copy = run_copy_of(kit);
    // Held without letting anyone delete it, the folder can be neither renamed nor replaced.
    Handle held;
    if (!make_private_folder(copy, false) || !CreateDirectoryA((copy + "\\temp").c_str(), nullptr) ||
        (held = Handle(CreateFileA(copy.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)))
                .h == nullptr) {
        why = "cannot make a folder of its own at " + copy;
        return Handle();
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
            for (std::size_t at = file.name.find('\\'); at != std::string::npos; at = file.name.find('\\', at + 1))
                CreateDirectoryA((copy + "\\" + file.name.substr(0, at)).c_str(), nullptr);
            if (write_new_file(copy + "\\" + file.name, bytes)) continue;
            why = "cannot copy " + file.name + " to " + copy;
        }
        return Handle();
    }
    return held;
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
