// Handles, files and text for the runner's other parts.
#include "kit/kit.h"

#include <aclapi.h>
#include <msi.h>
#include <sddl.h>
#include <wincrypt.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "kit/remove_tree.h"

namespace kit {

bool restrict_dll_search() {
    // SetDefaultDllDirectories came with Windows 8, and to Windows 7 with
    // KB2533623. kernel32 is loaded already: looking it up loads nothing.
    using SetDefault = BOOL(WINAPI*)(DWORD);
    const auto set_default = reinterpret_cast<SetDefault>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
    return set_default != nullptr && set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

bool under_wine() {
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

FARPROC system_function(const char* dll, const char* name) {
    HMODULE module = LoadLibraryExA(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return module != nullptr ? GetProcAddress(module, name) : nullptr;
}

std::vector<std::string> installed_products() {
    std::vector<std::string> codes;
    const auto enumerate = system_call<decltype(&MsiEnumRelatedProductsA)>("msi.dll", "MsiEnumRelatedProductsA");
    if (enumerate == nullptr) return {"(unknown: msi.dll could not be loaded from System32)"};
    char code[39];
    for (DWORD index = 0; enumerate("{8CF832A1-8C7D-479D-A1B6-51AFAC40EF5C}", 0, index,
                                                            code) == ERROR_SUCCESS;
         ++index) {
        codes.emplace_back(code);
    }
    return codes;
}

void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void refuse(const std::string& why) {
    say("verify: refused: %s", why.c_str());
    std::exit(2);
}

std::string read_file(const std::string& path, bool* ok) {
    Handle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    const bool plain = file.h != nullptr && GetFileInformationByHandle(file.h, &info) &&
                       (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
    if (ok != nullptr) *ok = plain;
    std::string bytes;
    char block[65536];
    DWORD count = 0;
    while (plain && ReadFile(file.h, block, sizeof block, &count, nullptr) && count > 0)
        bytes.append(block, count);
    return bytes;
}

bool write_new_file(const std::string& path, const std::string& bytes) {
    Handle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file.h != nullptr &&
           (bytes.empty() || (WriteFile(file.h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                              written == bytes.size())) &&
           FlushFileBuffers(file.h);
}

std::string sha256(const std::string& bytes) {
    // advapi32's enhanced AES provider: SHA-256 since Windows XP SP3, and no DLL beyond the KnownDLLs.
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE digest[32];
    DWORD size = sizeof digest;
    const bool done =
        CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
        CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) &&
        CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0) &&
        CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0) && size == sizeof digest;
    if (hash != 0) CryptDestroyHash(hash);
    if (provider != 0) CryptReleaseContext(provider, 0);
    if (!done) return "";
    std::string hex;
    for (BYTE byte : digest) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    return hex;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
        at = end + 1;
    }
    return lines;
}

bool exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool key_exists(const std::string& key) {
    Key handle;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &handle.h) == ERROR_SUCCESS;
}

bool delete_key_tree(const std::string& key) {
    if (key.empty()) return false;  // never HKLM itself
    {
        Key handle;
        const LONG opened =
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &handle.h);
        if (opened == ERROR_FILE_NOT_FOUND) return true;
        if (opened != ERROR_SUCCESS || RegDeleteTreeA(handle.h, nullptr) != ERROR_SUCCESS) return false;
    }
    const LONG deleted = RegDeleteKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), KEY_WOW64_64KEY, 0);
    return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
}

bool make_private_folder(const std::string& path, bool readable) {
    // Protected (no inherited entries); the objects inside inherit these.
    const char* sddl =
        readable ? "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;GRGX;;;BU)" : "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const bool made = CreateDirectoryA(path.c_str(), &attributes) != 0;
    LocalFree(descriptor);
    return made;
}

bool trusted_sid(PSID sid) {
    static const char* const installer = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    PSID trusted_installer = nullptr;
    bool trusted = IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
                   (ConvertStringSidToSidA(installer, &trusted_installer) && EqualSid(sid, trusted_installer));
    if (trusted_installer != nullptr) LocalFree(trusted_installer);
    // Wine runs everything as one elevated user, the owner of every file.
    HANDLE raw = nullptr;
    if (!trusted && under_wine() && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        Handle token(raw);
        char buffer[256];
        DWORD size = 0;
        trusted = GetTokenInformation(token.h, TokenUser, buffer, sizeof buffer, &size) &&
                  EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    }
    return trusted;
}

bool made_by_an_administrator(const std::string& path) {
    Handle object(CreateFileA(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr));
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (object.h == nullptr || GetSecurityInfo(object.h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                               nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const bool trusted = trusted_sid(owner);
    LocalFree(descriptor);
    return trusted;
}

bool remove_tree(const std::string& path) {
    return veltrax::testing::remove_tree(path);
}

std::string program_data() {
    // ProfileList's "ProgramData" names it as "%SystemDrive%\ProgramData": the
    // drive is the Windows folder's, which the kernel reports.
    char windows[MAX_PATH];
    const UINT length = GetSystemWindowsDirectoryA(windows, MAX_PATH);
    const std::string drive = length >= 2 && length < MAX_PATH && windows[1] == ':' ? std::string(windows, 2) : "C:";
    char value[MAX_PATH] = "";
    DWORD size = sizeof value - 1;
    const std::string variable = "%SystemDrive%";
    if (RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", "ProgramData",
                     RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, value, &size) == ERROR_SUCCESS &&
        _strnicmp(value, variable.c_str(), variable.size()) == 0 && value[variable.size()] == '\\' &&
        std::strchr(value + variable.size(), '%') == nullptr) {
        return drive + (value + variable.size());
    }
    return drive + "\\ProgramData";
}

bool installer_idle_within(unsigned minutes) {
    // Windows Installer holds this mutex while an installation runs (msiexec's 1618).
    for (ULONGLONG start = GetTickCount64();; Sleep(2000)) {
        Handle running(OpenMutexA(SYNCHRONIZE, FALSE, "Global\\_MSIExecute"));
        if (running.h == nullptr) return true;
        if (GetTickCount64() - start > minutes * 60000ULL) return false;
    }
}

}  // namespace kit
