// The checks made before anything changes: each refuses with one line and
// exit code 2, so that a refused run leaves the machine as it was.
#include "kit/kit.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace kit {

namespace {

// The longest path the run makes below the kit folder or results\.
constexpr std::size_t deepest_name = 64;

bool is_hex(const std::string& text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(),
                                            [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// A relative name that stays inside the kit: no drive, no root, no "..".
bool inside(const std::string& name) {
    if (name.empty() || name.front() == '\\' || name.find(':') != std::string::npos) return false;
    for (std::size_t at = 0; at <= name.size();) {
        const std::size_t end = std::min(name.find('\\', at), name.size());
        const std::string part = name.substr(at, end - at);
        if (part.empty() || part == "." || part == "..") return false;
        at = end + 1;
    }
    return true;
}

std::string lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

// Every entry below `folder` (links as entries, never entered), relative to `base`.
void entries(const std::string& base, const std::string& relative, std::vector<std::string>& out) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(((relative.empty() ? base : base + "\\" + relative) + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        const std::string path = relative.empty() ? name : relative + "\\" + name;
        const bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                            (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        if (folder) {
            if (lower(path) != "results") entries(base, path, out);
        } else {
            out.push_back(path);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

}  // namespace

Options parse_arguments(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = lower(argv[i]);
        if (argument == "/disposable") {
            options.disposable = true;
        } else if (argument == "/finish") {
            options.finish = true;
        } else if (argument == "/reduced") {
            options.reduced = true;
        } else {
            refuse(std::string("unknown argument '") + argv[i] +
                   "'; the arguments are /disposable, /finish and /reduced");
        }
    }
    return options;
}

Handle one_run_at_a_time() {
    // Only administrators may name an object in the Global namespace, so no
    // standard user can hold this lock in the kit's way.
    Handle lock(CreateMutexA(nullptr, TRUE, "Global\\veltrax-place-verify"));
    const DWORD error = GetLastError();
    if (lock.h != nullptr && error != ERROR_ALREADY_EXISTS) return lock;
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED) {
        refuse("another run of the kit is under way on this machine; wait for it to end");
    }
    refuse("cannot take the kit's lock (error " + std::to_string(error) + ")");
}

std::string kit_folder() {
    wchar_t wide[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameW(nullptr, wide, MAX_PATH + 1);
    char narrow[4 * MAX_PATH];
    BOOL lossy = FALSE;
    const int size = length > 0 && length <= MAX_PATH
                         ? WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, static_cast<int>(length), narrow,
                                               sizeof narrow, nullptr, &lossy)
                         : 0;
    const std::string self(narrow, size > 0 ? static_cast<std::size_t>(size) : 0);
    const std::string folder = self.substr(0, self.find_last_of('\\'));
    if (size <= 0 || lossy || folder.size() + deepest_name > MAX_PATH) {
        refuse(
            "the kit's folder path is too long or has characters outside this Windows' code page; "
            "unzip the kit into a short local folder such as C:\\veltrax-verify");
    }
    return folder;
}

void check_elevated() {
    HANDLE raw = nullptr;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        Handle token(raw);
        if (GetTokenInformation(token.h, TokenElevation, &elevation, sizeof elevation, &size) &&
            elevation.TokenIsElevated != 0) {
            return;
        }
    }
    refuse("not elevated: run verify.cmd from a command prompt opened with \"Run as administrator\"");
}

void check_no_installation_running() {
    // Windows Installer holds this mutex while an installation runs (msiexec's 1618).
    Handle running(OpenMutexA(SYNCHRONIZE, FALSE, "Global\\_MSIExecute"));
    if (running.h != nullptr) refuse("another installation is in progress; run verify.cmd again when it has ended");
}

std::vector<Listed> listed_files(const std::string& kit) {
    bool readable = false;
    const std::string sums = read_file(kit + "\\SHA256SUMS", &readable);
    if (!readable) refuse("SHA256SUMS is missing from " + kit + "; unzip the kit again");
    std::vector<Listed> listed;
    std::set<std::string> names;
    for (const std::string& line : lines_of(sums)) {
        const std::size_t name_at =
            line.size() > 66 && line[64] == ' ' && (line[65] == ' ' || line[65] == '*') ? 66 : 0;
        std::string name = line.substr(name_at);
        std::replace(name.begin(), name.end(), '/', '\\');
        if (name_at == 0 || !is_hex(line.substr(0, 64)) || !inside(name) || !names.insert(lower(name)).second) {
            refuse("SHA256SUMS is damaged; unzip the kit again");
        }
        listed.push_back({name, line.substr(0, 64)});
    }
    if (listed.empty()) refuse("SHA256SUMS is empty; unzip the kit again");
    std::vector<std::string> found;
    entries(kit, "", found);
    for (const std::string& path : found) {
        if (lower(path) != "sha256sums" && names.count(lower(path)) == 0) {
            refuse(path + " is in the kit's folder but not in SHA256SUMS; unzip the kit again into an empty folder");
        }
    }
    return listed;
}

std::vector<std::string> listed_programs(const std::vector<Listed>& listed) {
    std::vector<std::string> programs;
    const std::string ending = "_tests.exe";
    for (const Listed& file : listed) {
        const std::string name = lower(file.name);
        if (name.find('\\') == std::string::npos && name.size() > ending.size() &&
            name.compare(name.size() - ending.size(), ending.size(), ending) == 0) {
            programs.push_back(file.name.substr(0, file.name.size() - 4));
        }
    }
    std::sort(programs.begin(), programs.end());
    return programs;
}

void check_results_folder(const std::string& results) {
    const DWORD attributes = GetFileAttributesA(results.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
        refuse("cannot write " + results +
               ": it is not a plain folder; delete it, or copy the kit to a folder of its own");
    }
}

std::vector<std::string> machine_state() {
    std::vector<std::string> found;
    for (const char* folder : state_folders) {
        if (exists(folder)) found.emplace_back(folder);
    }
    for (const char* key : state_keys) {
        if (key_exists(key)) found.push_back(std::string("HKLM\\") + key);
    }
    for (const std::string& code : installed_products()) found.push_back("the installed package " + code);
    return found;
}

}  // namespace kit
