// The checks made before anything changes: each refuses with one line and
// exit code 2, so that a refused run leaves the machine as it was.
#include "kit/kit.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kit {

// The longest path the run makes below the kit folder or results\.
constexpr std::size_t deepest_name = 64;

Options parse_arguments(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        bool* option = _stricmp(argv[i], "/disposable") == 0 ? &options.disposable
                       : _stricmp(argv[i], "/finish") == 0   ? &options.finish
                       : _stricmp(argv[i], "/reduced") == 0  ? &options.reduced
                                                             : nullptr;
        if (option == nullptr)
            refuse(std::string("unknown argument '") + argv[i] + "'; the arguments are /disposable, /finish and /reduced");
        *option = true;
    }
    return options;
}

Handle one_run_at_a_time() {
    // The lock lives in a private namespace bound to the Administrators SID:
    // only an elevated administrator can create or open it, so no standard
    // user takes the lock first; it stays open while this process runs. Wine
    // has none: there the lock has a Global name, and the refusal says so.
    const bool wine = under_wine();
    HANDLE space = nullptr;
    if (!wine) {
        BYTE admins[SECURITY_MAX_SID_SIZE];
        DWORD sid_size = sizeof admins;
        HANDLE boundary = CreateBoundaryDescriptorW(L"veltrax-place-verify", 0);
        const Security security("D:P(A;;GA;;;SY)(A;;GA;;;BA)");
        if (boundary != nullptr && CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &sid_size) &&
            AddSIDToBoundaryDescriptor(&boundary, admins) && security.attributes() != nullptr) {
            space = CreatePrivateNamespaceW(security.attributes(), boundary, L"veltrax-place-verify");
            if (space == nullptr && GetLastError() == ERROR_ALREADY_EXISTS)
                space = OpenPrivateNamespaceW(boundary, L"veltrax-place-verify");
        }
        const DWORD error = GetLastError();
        if (boundary != nullptr) DeleteBoundaryDescriptor(boundary);
        if (space == nullptr) refuse("cannot open the kit's lock (error " + std::to_string(error) + ")");
    }
    Handle lock(CreateMutexW(nullptr, TRUE, wine ? L"Global\\veltrax-place-verify" : L"veltrax-place-verify\\run"));
    const DWORD error = GetLastError();
    if (lock.h != nullptr && error != ERROR_ALREADY_EXISTS) return lock;
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED)
        refuse(wine ? "another run of the kit, or a program that holds its lock, is under way on this machine; wait "
                      "for it to end"
                    : "another run of the kit is under way on this machine; wait for it to end");
    refuse("cannot take the kit's lock (error " + std::to_string(error) + ")");
}

namespace {

// What of an entry someone else than SYSTEM, Administrators or
// TrustedInstaller may do (of the rights in `changes`), or that another
// owns it; "" when nothing.
std::string untrusted_access(const std::string& path, ACCESS_MASK changes) {
    Handle object(CreateFileA(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr));
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (object.h == nullptr ||
        GetSecurityInfo(object.h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return "its permissions cannot be read";
    }
    std::string found = !trusted_sid(owner) ? "its owner is not SYSTEM or Administrators"
                        : dacl == nullptr       ? "everyone may change it"
                                                : "";
    for (DWORD index = 0; found.empty() && dacl != nullptr && index < dacl->AceCount; ++index) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(dacl, index, reinterpret_cast<void**>(&header)) || (header->AceFlags & INHERIT_ONLY_ACE) != 0)
            continue;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            const auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
            PSID sid = const_cast<DWORD*>(&ace->SidStart);
            // OWNER RIGHTS stands for the owner, checked above.
            if ((ace->Mask & changes) != 0 && !IsWellKnownSid(sid, WinCreatorOwnerRightsSid) && !trusted_sid(sid)) {
                char* name = nullptr;
                found = std::string("it can be changed by ") + (ConvertSidToStringSidA(sid, &name) ? name : "another user");
                if (name != nullptr) LocalFree(name);
            }
        } else if (header->AceType != ACCESS_DENIED_ACE_TYPE) {
            found = "it has a permission entry of a kind this kit does not read";
        }
    }
    LocalFree(descriptor);
    return found;
}

const char* const unzip_instead =
    "; delete it and unzip the kit again, from an elevated prompt, into a folder that only SYSTEM and "
    "Administrators own and can change, as VERIFY.txt says";

// Refuses when anything below `folder` (a link as an entry, never entered) lets others make `changes`.
void check_below(const std::string& folder, ACCESS_MASK changes) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
        const std::string name = found.cFileName, path = folder + "\\" + name;
        if (name == "." || name == "..") continue;
        if (const std::string why = untrusted_access(path, changes); !why.empty()) refuse(path + ": " + why + unzip_instead);
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY)
            check_below(path, changes);
    }
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
}

}  // namespace

void check_kit_folder_protected(const std::string& kit) {
    // Every folder above, up to the drive's root, may not let others move or
    // replace what is in it.
    constexpr ACCESS_MASK replaces = DELETE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;
    for (std::string folder = kit; folder.size() > 3;) {
        folder = folder.substr(0, folder.find_last_of('\\'));
        if (folder.size() == 2) folder += '\\';  // the drive's root
        const std::string why = untrusted_access(folder, replaces);
        if (!why.empty()) refuse("a folder above the kit, " + folder + ": " + why + unzip_instead);
    }
    constexpr ACCESS_MASK changes = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                    replaces | GENERIC_WRITE;
    if (const std::string why = untrusted_access(kit, changes); !why.empty()) refuse(kit + ": " + why + unzip_instead);
    check_below(kit, changes);
}

std::string kit_folder() {
    wchar_t self[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
    std::wstring folder(self, length > 0 && length <= MAX_PATH ? length : 0);
    folder = folder.substr(0, folder.find_last_of(L'\\'));
    // The folder as a handle to it resolves it: a link or a junction on the
    // way, or a drive letter that names another place, shows as a difference.
    Handle opened(CreateFileW(folder.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    wchar_t final_path[MAX_PATH + 8];
    const DWORD final_length = opened.h == nullptr ? 0
                                                   : GetFinalPathNameByHandleW(opened.h, final_path, MAX_PATH + 8,
                                                                               FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    std::wstring resolved(final_path, final_length > 0 && final_length < MAX_PATH + 8 ? final_length : 0);
    if (resolved.rfind(L"\\\\?\\", 0) == 0) resolved = resolved.substr(4);
    if (resolved.empty() || folder.size() < 3 || CompareStringOrdinal(resolved.c_str(), -1, folder.c_str(), -1, TRUE) != CSTR_EQUAL)
        refuse("the kit's folder is reached through a link, a junction or a network path" + std::string(unzip_instead));
    if (GetDriveTypeW(folder.substr(0, 3).c_str()) != DRIVE_FIXED)
        refuse("the kit's folder is not on a fixed local drive" + std::string(unzip_instead));
    char narrow[4 * MAX_PATH];
    BOOL lossy = FALSE;
    const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, folder.c_str(), static_cast<int>(folder.size()),
                                         narrow, sizeof narrow, nullptr, &lossy);
    if (size <= 0 || lossy || static_cast<std::size_t>(size) + deepest_name > MAX_PATH)
        refuse(
            "the kit's folder path is too long or has characters outside this Windows' code page; unzip the kit "
            "into a folder with a short, plain name that only administrators can write (see VERIFY.txt)");
    return std::string(narrow, static_cast<std::size_t>(size));
}

void check_elevated() {
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const Handle token = own_token(TOKEN_QUERY);
    if (token.h != nullptr && GetTokenInformation(token.h, TokenElevation, &elevation, sizeof elevation, &size) &&
        elevation.TokenIsElevated != 0)
        return;
    refuse("not elevated: run verify.cmd from a command prompt opened with \"Run as administrator\"");
}

void check_results_folder(const std::string& results) {
    const DWORD attributes = GetFileAttributesA(results.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0))
        refuse("cannot write " + results + ": it is not a plain folder; delete it, or copy the kit to a folder of its own");
}

std::vector<std::string> machine_state(const Manifest& manifest) {
    std::vector<std::string> found;
    for (const char* folder : state_folders)
        if (exists(folder)) found.emplace_back(folder);
    for (const char* key : state_keys)
        if (key_exists(key)) found.push_back(std::string("HKLM\\") + key);
    for (const std::string& code : installed_products(manifest)) found.push_back("the installed package " + code);
    return found;
}

// The kit as it runs: nothing can be swapped between a file's check and its
// start, and no library planted beside a program is loaded by it.

static bool is_hex(const std::string& text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(),
                                            [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

Manifest built_in() {
    Manifest built;
    const std::string text(manifest, strnlen(manifest, manifest_size));
    for (std::size_t at = 0, end = 0; at < text.size(); at = end + 1) {
        end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        if (line.rfind("about ", 0) == 0)
            built.about = line.substr(6);
        else if (line.rfind("product ", 0) == 0)
            built.products.push_back(line.substr(8));
        else if (line.rfind("upgrade ", 0) == 0)
            built.upgrade = line.substr(8);
        else if (line.size() > 65 && line[64] == ' ' && is_hex(line.substr(0, 64)))
            built.files.push_back({line.substr(65), line.substr(0, 64)});
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
            name.compare(name.size() - ending.size(), ending.size(), ending) == 0)
            programs.push_back(file.name.substr(0, file.name.size() - 4));
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
        !FileTimeToSystemTime(&local, &when))
        GetLocalTime(&when);
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
