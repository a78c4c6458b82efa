// The checks made before anything changes: each refuses with one line and
// exit code 2, so that a refused run leaves the machine as it was.
#include "kit/kit.h"

#include <aclapi.h>
#include <sddl.h>

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

// The files below `base` (links as entries, never entered), relative to it;
// with `everything`, its folders too and what results\ folders hold.
void entries(const std::string& base, const std::string& relative, std::vector<std::string>& out,
             bool everything = false) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(((relative.empty() ? base : base + "\\" + relative) + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        const std::string path = relative.empty() ? name : relative + "\\" + name;
        const bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                            (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        if (!folder || everything) out.push_back(path);
        const std::string lowered = lower(path);
        if (folder && (everything || (lowered != "results" && lowered.rfind("results-", 0) != 0)))
            entries(base, path, out, everything);
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
    // The lock lives in a private namespace whose boundary holds the
    // Administrators SID: only a process whose token has that group enabled
    // (an elevated administrator) can create or open the namespace, so no
    // standard user can take the lock first. The namespace stays open for as
    // long as this process runs (its handle is never closed), so that a
    // second run finds it and its lock. Wine has no private namespaces (it
    // cannot even add a SID to a boundary): there the lock has a Global
    // name, which any user could take, and the refusal says so.
    const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    HANDLE space = nullptr;
    if (!wine) {
        BYTE admins[SECURITY_MAX_SID_SIZE];
        DWORD sid_size = sizeof admins;
        HANDLE boundary = CreateBoundaryDescriptorW(L"veltrax-place-verify", 0);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (boundary != nullptr && CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &sid_size) &&
            AddSIDToBoundaryDescriptor(&boundary, admins) &&
            ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1,
                                                                 &descriptor, nullptr)) {
            SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
            space = CreatePrivateNamespaceW(&attributes, boundary, L"veltrax-place-verify");
            if (space == nullptr && GetLastError() == ERROR_ALREADY_EXISTS)
                space = OpenPrivateNamespaceW(boundary, L"veltrax-place-verify");
        }
        const DWORD error = GetLastError();
        if (descriptor != nullptr) LocalFree(descriptor);
        if (boundary != nullptr) DeleteBoundaryDescriptor(boundary);
        if (space == nullptr) refuse("cannot open the kit's lock (error " + std::to_string(error) + ")");
    }
    Handle lock(CreateMutexW(nullptr, TRUE, wine ? L"Global\\veltrax-place-verify" : L"veltrax-place-verify\\run"));
    const DWORD error = GetLastError();
    if (lock.h != nullptr && error != ERROR_ALREADY_EXISTS) return lock;
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED) {
        refuse(wine ? "another run of the kit, or a program that holds its lock, is under way on this machine; wait "
                      "for it to end"
                    : "another run of the kit is under way on this machine; wait for it to end");
    }
    refuse("cannot take the kit's lock (error " + std::to_string(error) + ")");
}

namespace {

// Whether a SID may own or change the kit: SYSTEM, Administrators,
// TrustedInstaller, or the administrator running the kit.
bool trusted(PSID sid, PSID self) {
    static const char* const installer = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    PSID trusted_installer = nullptr;
    const bool is_installer =
        ConvertStringSidToSidA(installer, &trusted_installer) && EqualSid(sid, trusted_installer);
    if (trusted_installer != nullptr) LocalFree(trusted_installer);
    return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           is_installer || (self != nullptr && EqualSid(sid, self));
}

// What of an entry someone else than those may do: write or add, delete it
// or what is in it, change its permissions or owner; "" when nothing.
std::string untrusted_access(const std::string& path, PSID self, ACCESS_MASK changes) {
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
    std::string found;
    if (!trusted(owner, self)) {
        found = "its owner is another user";
    } else if (dacl == nullptr) {
        found = "everyone may change it";
    } else {
        for (DWORD index = 0; found.empty() && index < dacl->AceCount; ++index) {
            ACE_HEADER* header = nullptr;
            if (!GetAce(dacl, index, reinterpret_cast<void**>(&header)) || (header->AceFlags & INHERIT_ONLY_ACE) != 0)
                continue;
            if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
                const auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
                PSID sid = const_cast<DWORD*>(&ace->SidStart);
                // OWNER RIGHTS stands for the owner, checked above.
                const bool owner_rights = IsWellKnownSid(sid, WinCreatorOwnerRightsSid);
                if ((ace->Mask & changes) != 0 && !owner_rights && !trusted(sid, self)) {
                    char* name = nullptr;
                    found = std::string("it can be changed by ") +
                            (ConvertSidToStringSidA(sid, &name) ? name : "another user");
                    if (name != nullptr) LocalFree(name);
                }
            } else if (header->AceType != ACCESS_DENIED_ACE_TYPE) {
                found = "it has a permission entry of a kind this kit does not read";
            }
        }
    }
    LocalFree(descriptor);
    return found;
}

}  // namespace

void check_kit_folder_protected(const std::string& kit) {
    constexpr ACCESS_MASK changes = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                    FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                    GENERIC_ALL;
    HANDLE raw = nullptr;
    BYTE user[256];
    DWORD size = 0;
    PSID self = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        Handle token(raw);
        if (GetTokenInformation(token.h, TokenUser, user, sizeof user, &size)) self = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
    }
    const char* const instead =
        "; unzip the kit into a folder only administrators can write, made from an elevated prompt in your own "
        "profile (see VERIFY.txt)";
    // The folder above may not let others swap the kit's folder for one of theirs.
    std::string parent = kit.substr(0, kit.find_last_of('\\'));
    if (parent.find('\\') == std::string::npos) parent += '\\';  // a drive's root
    std::string why = untrusted_access(parent, self, FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL);
    if (!why.empty()) refuse("the folder that holds the kit, " + parent + ": " + why + instead);
    std::vector<std::string> below{""};
    entries(kit, "", below, true);
    for (const std::string& entry : below) {
        const std::string path = entry.empty() ? kit : kit + "\\" + entry;
        why = untrusted_access(path, self, changes);
        if (!why.empty()) refuse(path + ": " + why + instead);
    }
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
            "the kit's folder path is too long or has characters outside this Windows' code page; unzip the kit "
            "into a folder with a short, plain name that only administrators can write (see VERIFY.txt)");
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
