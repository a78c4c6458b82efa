// What the tests change, saved under an HKLM key of the kit's own (which
// standard users cannot write) before they run and given back after; and the
// clean-up of everything the tests made. A give-back writes and deletes only
// the keys in saved_keys, whatever the saved state holds, and keeps the saved
// copy until every step of it worked.
#include "kit/kit.h"

#include <algorithm>
#include <cstring>

namespace kit {

namespace {

const char* const state_key = "SOFTWARE\\veltrax-place-verify";
const char* const saved_mark = "saved";

// What the tests change, and how shallow a key along its path may be that
// the tests create (and the give-back therefore deletes) when it was absent.
struct Saved {
    const char* key;
    unsigned shallowest;
};
const Saved saved_keys[] = {
    {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Applets\\SysTray\\BattMeter", 5},  // from ...\Applets
    {"SOFTWARE\\Veltrax", 2},
};

// What a test program cut short leaves besides the state folders and keys
// and what is in the run copy (its scratch folder, its output): its key.
const char* const scratch_key_prefix = "VeltraxSeamTest-";

unsigned depth(const char* key) { return 1 + static_cast<unsigned>(std::count(key, key + std::strlen(key), '\\')); }

// The first `parts` parts of a key's path.
std::string prefix(const char* key, unsigned parts) {
    std::string path = key;
    std::size_t at = 0;
    for (unsigned part = 0; part < parts && at != std::string::npos; ++part)
        at = path.find('\\', at + (part > 0 ? 1 : 0));
    return at == std::string::npos ? path : path.substr(0, at);
}

// How many parts of the key's path exist before the first missing one; 0 when all of it exists.
unsigned first_missing(const Saved& saved) {
    for (unsigned parts = 1; parts <= depth(saved.key); ++parts)
        if (!key_exists(prefix(saved.key, parts))) return parts;
    return 0;
}

// The values that say a key was absent, and hold its owner, group and DACL (its sub-keys' as "security I\\SUB").
std::string absent_value(std::size_t index) { return "absent " + std::to_string(index); }
std::string security_value(std::size_t index) { return "security " + std::to_string(index); }

bool open(HKEY root, const std::string& key, Key& handle, REGSAM access = KEY_ALL_ACCESS) {
    return RegOpenKeyExA(root, key.c_str(), 0, access | KEY_WOW64_64KEY, &handle.h) == ERROR_SUCCESS;
}

// A key that must not exist yet; `sddl`, when given, is its security, set in the call that creates it.
bool create_new(HKEY root, const std::string& key, Key& handle, const char* sddl = nullptr) {
    DWORD disposition = 0;
    const Security security(sddl);
    return (sddl == nullptr || security.attributes() != nullptr) &&
           RegCreateKeyExA(root, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                           security.attributes(), &handle.h, &disposition) == ERROR_SUCCESS &&
           disposition == REG_CREATED_NEW_KEY;
}

bool read_dword(HKEY key, const std::string& name, DWORD& value) {
    DWORD size = sizeof value;
    return RegGetValueA(key, nullptr, name.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS;
}

bool write_dword(HKEY key, const std::string& name, DWORD value) {
    return RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
           ERROR_SUCCESS;
}

// The one step the kit test's faulty runner fails: a give-back that cannot write.
#ifdef VELTRAX_KIT_FAIL_GIVE_BACK
LONG copy_back(HKEY, HKEY) { return ERROR_ACCESS_DENIED; }
#else
LONG copy_back(HKEY from, HKEY to) { return RegCopyTreeA(from, nullptr, to); }
#endif

std::vector<std::string> scratch_keys() {
    Key software;
    std::vector<std::string> keys;
    if (!open(HKEY_LOCAL_MACHINE, "SOFTWARE", software, KEY_READ)) return keys;
    char name[256];
    for (DWORD index = 0;; ++index) {
        DWORD size = sizeof name;
        if (RegEnumKeyExA(software.h, index, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if (std::strncmp(name, scratch_key_prefix, std::strlen(scratch_key_prefix)) == 0)
            keys.push_back(std::string("SOFTWARE\\") + name);
    }
    return keys;
}

// The owner, group and DACL of each saved key and every key below it, given
// back with it (a copied key would otherwise inherit its parent's).
constexpr SECURITY_INFORMATION key_security = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                              DACL_SECURITY_INFORMATION;

// The restore privilege, on for as long as this lives: setting another owner
// than oneself needs it, and nothing else may run with it.
struct RestorePrivilege {
    Handle token = own_token(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY);
    TOKEN_PRIVILEGES previous{};
    bool on = false;
    RestorePrivilege() {
        if (token.h == nullptr) return;
        TOKEN_PRIVILEGES restore{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
        DWORD size = sizeof previous;
        on = LookupPrivilegeValueA(nullptr, "SeRestorePrivilege", &restore.Privileges[0].Luid) &&
             AdjustTokenPrivileges(token.h, FALSE, &restore, sizeof previous, &previous, &size) &&
             GetLastError() == ERROR_SUCCESS;
    }
    RestorePrivilege(const RestorePrivilege&) = delete;
    RestorePrivilege& operator=(const RestorePrivilege&) = delete;
    ~RestorePrivilege() {
        if (on) AdjustTokenPrivileges(token.h, FALSE, &previous, 0, nullptr, nullptr);
    }
};

// Saves them as the value `name` and values "NAME\\SUB\\KEY" of `state`; false when any could not be.
bool save_key_security(HKEY source, HKEY state, const std::string& name) {
    DWORD size = 0;
    RegGetKeySecurity(source, key_security, nullptr, &size);
    std::string descriptor(size, '\0');
    bool done = size > 0 && RegGetKeySecurity(source, key_security, descriptor.data(), &size) == ERROR_SUCCESS &&
                RegSetValueExA(state, name.c_str(), 0, REG_BINARY, reinterpret_cast<const BYTE*>(descriptor.data()),
                               size) == ERROR_SUCCESS;
    for (DWORD index = 0; done; ++index) {
        char sub[256];
        DWORD length = sizeof sub;
        const LONG found = RegEnumKeyExA(source, index, sub, &length, nullptr, nullptr, nullptr, nullptr);
        if (found == ERROR_NO_MORE_ITEMS) break;
        Key child;
        done = found == ERROR_SUCCESS &&
               RegOpenKeyExA(source, sub, 0, READ_CONTROL | KEY_ENUMERATE_SUB_KEYS, &child.h) == ERROR_SUCCESS &&
               save_key_security(child.h, state, name + "\\" + sub);
    }
    return done;
}

// Gives a recreated key and every key below it the security saved as `name`.
bool restore_key_security(HKEY state, HKEY target, const std::string& name) {
    std::vector<std::string> names;  // the key's and its sub-keys', the deepest first
    for (DWORD index = 0;; ++index) {
        char value[16384];
        DWORD length = sizeof value;
        if (RegEnumValueA(state, index, value, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        const std::string found(value, length);
        if (found == name || found.rfind(name + "\\", 0) == 0) names.push_back(found);
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return std::count(a.begin(), a.end(), '\\') > std::count(b.begin(), b.end(), '\\');
    });
    const RestorePrivilege privilege;
    bool done = !names.empty();
    for (const std::string& found : names) {
        DWORD type = 0, size = 0;
        RegQueryValueExA(state, found.c_str(), nullptr, &type, nullptr, &size);
        std::string descriptor(size, '\0');
        Key key;
        const std::string below = found.size() > name.size() ? found.substr(name.size() + 1) : "";
        done = done && type == REG_BINARY &&
               RegQueryValueExA(state, found.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(descriptor.data()),
                                &size) == ERROR_SUCCESS &&
               IsValidSecurityDescriptor(descriptor.data()) &&
               RegOpenKeyExA(target, below.empty() ? nullptr : below.c_str(), 0, WRITE_DAC | WRITE_OWNER,
                             &key.h) == ERROR_SUCCESS &&
               RegSetKeySecurity(key.h, key_security, descriptor.data()) == ERROR_SUCCESS;
    }
    return done;
}

}  // namespace

Leftover leftover_state() {
    Key state;
    if (!open(HKEY_LOCAL_MACHINE, state_key, state, KEY_READ)) return Leftover::none;
    DWORD mark = 0;
    if (!read_dword(state.h, saved_mark, mark)) return Leftover::unfinished;
    bool sound = mark == 1;
    for (std::size_t i = 0; i < std::size(saved_keys); ++i) {
        DWORD parts = 0;
        const bool absent = read_dword(state.h, absent_value(i), parts);
        Key copy;
        const bool copied = open(state.h, std::to_string(i), copy, KEY_READ);
        const bool secured =
            RegQueryValueExA(state.h, security_value(i).c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
        sound = sound && absent != copied && copied == secured &&
                (!absent || (parts >= saved_keys[i].shallowest && parts <= depth(saved_keys[i].key)));
    }
    if (!sound)
        refuse(std::string("HKLM\\") + state_key + " is not as this kit writes it; look at it, and delete it by hand");
    return Leftover::saved;
}

bool save_state() {
    Key state;
    // Only SYSTEM and Administrators may read it: it holds copies of keys others may not read.
    bool done = delete_key_tree(state_key) &&
                create_new(HKEY_LOCAL_MACHINE, state_key, state, "O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)");
    for (std::size_t i = 0; done && i < std::size(saved_keys); ++i) {
        const unsigned missing = first_missing(saved_keys[i]);
        Key source, copy;
        done = missing != 0 ? write_dword(state.h, absent_value(i), missing)
                            : open(HKEY_LOCAL_MACHINE, saved_keys[i].key, source, KEY_READ) &&
                                  create_new(state.h, std::to_string(i), copy) &&
                                  RegCopyTreeA(source.h, nullptr, copy.h) == ERROR_SUCCESS &&
                                  save_key_security(source.h, state.h, security_value(i));
    }
    // The copies are on disk before the mark that vouches for them.
    done = done && RegFlushKey(state.h) == ERROR_SUCCESS && write_dword(state.h, saved_mark, 1) &&
           RegFlushKey(state.h) == ERROR_SUCCESS;
    if (!done) delete_key_tree(state_key);
    return done;
}

std::vector<std::string> give_back(const Manifest& manifest, const std::string& environment) {
    // Nothing is given back beside an installation that still runs (one a
    // test started, say): it would race it.
    if (!installer_idle_within(10)) return {"give back anything: Windows Installer still ran an installation after 10 minutes"};
    std::vector<std::string> failed;
    auto check = [&failed](bool done, const std::string& what) {
        if (!done) failed.push_back(what);
    };
    // msiexec from the system folder, as the package tests run it; only the kit's own products, for the machine.
    char system[MAX_PATH];
    const UINT length = GetSystemDirectoryA(system, MAX_PATH);
    const std::string msiexec = std::string(system, length < MAX_PATH ? length : 0) + "\\msiexec.exe";
    const std::vector<std::string> users = registered_for_this_user(manifest);
    for (const std::string& product : installed_products(manifest)) {
        const bool left = std::find(users.begin(), users.end(), product) != users.end();
        std::string trouble = left ? "registered for this user too, so msiexec would remove that one: left" : "";
        const DWORD result = left ? 0 : run_in_job(msiexec, "\"" + msiexec + "\" /x " + product + " /qn REBOOT=ReallySuppress",
                                        environment, std::string(system, 3), nullptr, 10 * 60 * 1000, trouble);
        check(trouble.empty() && (result == ERROR_SUCCESS || result == ERROR_SUCCESS_REBOOT_REQUIRED),
              "uninstall the package " + product + " (" + (trouble.empty() ? "exit code " + std::to_string(result) : trouble) + ")");
    }
    for (const char* folder : state_folders)
        check(remove_tree(folder), std::string("remove ") + folder);
    for (const char* key : state_keys)
        check(delete_key_tree(key), std::string("delete HKLM\\") + key);
    for (const std::string& key : scratch_keys())
        check(delete_key_tree(key), "delete HKLM\\" + key);

    {
        Key state;
        check(open(HKEY_LOCAL_MACHINE, state_key, state), std::string("open HKLM\\") + state_key);
        for (std::size_t i = 0; state.h != nullptr && i < std::size(saved_keys); ++i) {
            DWORD parts = 0;
            const bool absent = read_dword(state.h, absent_value(i), parts);
            const std::string key = absent ? prefix(saved_keys[i].key, parts) : saved_keys[i].key;
            const std::string what = std::string("give back HKLM\\") + saved_keys[i].key;
            if (!delete_key_tree(key)) {
                failed.push_back(what);
                continue;
            }
            Key copy, target;
            check(absent || (open(state.h, std::to_string(i), copy, KEY_READ) &&
                             create_new(HKEY_LOCAL_MACHINE, key, target) &&
                             copy_back(copy.h, target.h) == ERROR_SUCCESS &&
                             restore_key_security(state.h, target.h, security_value(i)) &&
                             RegFlushKey(target.h) == ERROR_SUCCESS),
                  what);
        }
    }
    // Only a whole give-back drops what it gave back from.
    if (failed.empty()) check(delete_key_tree(state_key), std::string("delete HKLM\\") + state_key);
    return failed;
}

}  // namespace kit
