// The security of the keys a run saves: the owner, group and DACL of each
// saved key and of every key below it, kept beside the saved copy and given
// back to the keys the give-back recreates (a copied key would otherwise
// inherit its parent's, and a protected sub-key become readable).
#include "kit/kit.h"

#include <algorithm>

namespace kit {

namespace {

constexpr SECURITY_INFORMATION key_security = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                              DACL_SECURITY_INFORMATION;

HANDLE own_token() {
    HANDLE raw = nullptr;
    return OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw) ? raw : nullptr;
}

// The restore privilege, on for as long as this lives: setting another owner
// than oneself needs it, and nothing else may run with it.
struct RestorePrivilege {
    Handle token{own_token()};
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

}  // namespace

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

}  // namespace kit
