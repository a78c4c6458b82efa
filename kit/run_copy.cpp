// The kit as it runs: every listed file copied into a folder only SYSTEM and
// Administrators can write and checked there, so that nothing can be swapped
// between its check and its start, and no library planted beside a program
// can be loaded by it; and results\, made anew for each run.
#include "kit/kit.h"

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

bool remove_run_copies() {
    const std::string data = program_data();
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((data + copy_prefix + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return true;
    do {
        // A link is none of ours: it stays, and what it points to too.
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) names.emplace_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    bool whole = true;
    for (const std::string& name : names) {
        const std::string path = data + "\\" + name;
        if (made_by_an_administrator(path)) whole = remove_tree(path) && whole;
    }
    return whole;
}

bool make_results_folder(const std::string& results) {
    return remove_tree(results) && make_private_folder(results, true);
}

}  // namespace kit
