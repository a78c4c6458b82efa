// Handles, files and text for the runner's other parts.
#include "kit/kit.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <tuple>

namespace kit {

bool restrict_dll_search() {
    // SetDefaultDllDirectories came with Windows 8, and to Windows 7 with
    // KB2533623. kernel32 is loaded already: looking it up loads nothing.
    using SetDefault = BOOL(WINAPI*)(DWORD);
    const auto set_default = reinterpret_cast<SetDefault>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
    return set_default != nullptr && set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

Handle own_token(DWORD access) {
    HANDLE raw = nullptr;
    return Handle(OpenProcessToken(GetCurrentProcess(), access, &raw) ? raw : nullptr);
}

bool under_wine() {
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// A product or upgrade code as Windows Installer keys its registry entries (the first three groups reversed, then
// each byte's two digits swapped), and back.
static std::string packed_guid(const std::string& guid) {
    std::string hex;
    for (char c : guid)
        if (std::isxdigit(static_cast<unsigned char>(c))) hex += static_cast<char>(std::toupper(c));
    if (hex.size() != 32) return "";
    std::string out(hex.rend() - 8, hex.rend());
    out.append(hex.rend() - 12, hex.rend() - 8).append(hex.rend() - 16, hex.rend() - 12);
    for (std::size_t at = 16; at < 32; at += 2) out.append({hex[at + 1], hex[at]});
    return out;
}

std::vector<std::string> installed_products(const Manifest& manifest, std::vector<std::string>* others) {
    std::vector<std::string> ours, carried;
    for (const std::string& code : manifest.products) {
        carried.push_back(packed_guid(code));
        if (key_exists("SOFTWARE\\Classes\\Installer\\Products\\" + carried.back())) ours.push_back(code);
    }
    // Another product of the upgrade code, the machine's or this user's own, is named and left.
    const std::string upgrade = "\\Installer\\UpgradeCodes\\" + packed_guid(manifest.upgrade);
    const std::tuple<HKEY, std::string, const char*> places[] = {
        {HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes" + upgrade, "for the machine"},
        {HKEY_CURRENT_USER, "Software\\Microsoft" + upgrade, "for this user"}};
    for (const auto& [root, key, whose] : places) {
        Key codes;
        char name[64];
        if (others == nullptr || RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &codes.h) != ERROR_SUCCESS) continue;
        for (DWORD index = 0, size = sizeof name;; ++index, size = sizeof name) {
            const LONG listed = RegEnumValueA(codes.h, index, name, &size, nullptr, nullptr, nullptr, nullptr);
            if (listed == ERROR_MORE_DATA) continue;  // longer than any product code
            if (listed != ERROR_SUCCESS) break;
            // Only 32 hex digits are printed: the user's hive may hold any name.
            const std::string hex = size == 32 ? packed_guid(name) : "";
            const std::string code = hex.size() != 32 ? "an unreadable entry"
                                                      : "the product {" + hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" +
                                                            hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" + hex.substr(20) + "}";
            if (root == HKEY_CURRENT_USER || std::find(carried.begin(), carried.end(), name) == carried.end())
                others->push_back(code + " installed " + whose);
        }
    }
    return ours;
}

std::vector<std::string> registered_for_this_user(const Manifest& manifest) {
    // Managed (by policy, under HKLM) or not (in the user's hive).
    char user[256], *sid = nullptr;
    DWORD size = 0;
    const Handle token = own_token(TOKEN_QUERY);
    const std::string managed = token.h != nullptr && GetTokenInformation(token.h, TokenUser, user, sizeof user, &size) &&
                                        ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid)
                                    ? "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\Managed\\" + std::string(sid) + "\\Installer\\Products\\"
                                    : "";
    LocalFree(sid);
    std::vector<std::string> found;
    for (const std::string& code : manifest.products)
        if (key_exists("Software\\Microsoft\\Installer\\Products\\" + packed_guid(code), HKEY_CURRENT_USER) ||
            (!managed.empty() && key_exists(managed + packed_guid(code))))
            found.push_back(code);
    return found;
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
    // SHA-256, here so that the runner imports nothing that loads a DLL from outside System32's KnownDLLs.
    static constexpr std::uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5, 0xd807aa98,
        0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786,
        0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8,
        0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13,
        0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819,
        0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a,
        0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
        0xc67178f2};
    std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const auto rotate = [](std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
    const std::size_t whole = bytes.size() / 64 * 64;
    std::string tail = bytes.substr(whole) + '\x80';
    tail.append((tail.size() <= 56 ? 56 : 120) - tail.size(), '\0');
    for (int shift = 56; shift >= 0; shift -= 8) tail += static_cast<char>((std::uint64_t{bytes.size()} * 8) >> shift);
    for (std::size_t at = 0; at < whole + tail.size(); at += 64) {
        const auto* block = reinterpret_cast<const unsigned char*>(at < whole ? bytes.data() + at : tail.data() + at - whole);
        std::uint32_t w[64], v[8];
        for (int i = 0; i < 64; ++i) {
            w[i] = i < 16 ? std::uint32_t{block[4 * i]} << 24 | block[4 * i + 1] << 16 | block[4 * i + 2] << 8 | block[4 * i + 3]
                          : w[i - 16] + (rotate(w[i - 15], 7) ^ rotate(w[i - 15], 18) ^ (w[i - 15] >> 3)) + w[i - 7] +
                                (rotate(w[i - 2], 17) ^ rotate(w[i - 2], 19) ^ (w[i - 2] >> 10));
        }
        std::copy(h, h + 8, v);
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t t1 = v[7] + (rotate(v[4], 6) ^ rotate(v[4], 11) ^ rotate(v[4], 25)) +
                                     ((v[4] & v[5]) ^ (~v[4] & v[6])) + k[i] + w[i];
            const std::uint32_t t2 = (rotate(v[0], 2) ^ rotate(v[0], 13) ^ rotate(v[0], 22)) +
                                     ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
            std::copy_backward(v, v + 7, v + 8);
            v[4] += t1;
            v[0] = t1 + t2;
        }
        for (int i = 0; i < 8; ++i) h[i] += v[i];
    }
    char hex[65];
    std::snprintf(hex, sizeof hex, "%08x%08x%08x%08x%08x%08x%08x%08x", h[0], h[1], h[2], h[3], h[4], h[5], h[6], h[7]);
    return hex;
}

bool exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool key_exists(const std::string& key, HKEY root) {
    Key handle;
    return RegOpenKeyExA(root, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &handle.h) == ERROR_SUCCESS;
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

Security::Security(const char* sddl) {
    if (sddl != nullptr && ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        inherited.lpSecurityDescriptor = descriptor;
}

bool make_private_folder(const std::string& path, bool readable) {
    // Protected (no inherited entries); the objects inside inherit these.
    const Security security(readable ? "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;GRGX;;;BU)"
                                     : "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    return security.attributes() != nullptr && CreateDirectoryA(path.c_str(), security.attributes()) != 0;
}

bool trusted_sid(PSID sid) {
    static const char* const installer = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    PSID trusted_installer = nullptr;
    bool trusted = IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
                   (ConvertStringSidToSidA(installer, &trusted_installer) && EqualSid(sid, trusted_installer));
    if (trusted_installer != nullptr) LocalFree(trusted_installer);
    // Wine runs everything as one elevated user, the owner of every file.
    if (const Handle token = own_token(TOKEN_QUERY); !trusted && under_wine() && token.h != nullptr) {
        char buffer[256];
        DWORD size = 0;
        trusted = GetTokenInformation(token.h, TokenUser, buffer, sizeof buffer, &size) &&
                  EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    }
    return trusted;
}

bool installer_idle_within(unsigned minutes) {
    // Windows Installer holds this mutex while an installation runs (msiexec's 1618): held is busy; taken or
    // abandoned is idle (and given back at once); absent is idle; anything else is busy.
    for (ULONGLONG start = GetTickCount64();; Sleep(2000)) {
        Handle running(OpenMutexA(SYNCHRONIZE, FALSE, "Global\\_MSIExecute"));
        const DWORD error = GetLastError();
        const DWORD taken = running.h != nullptr ? WaitForSingleObject(running.h, 0) : WAIT_FAILED;
        if (taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED) ReleaseMutex(running.h);
        if (taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED || (running.h == nullptr && error == ERROR_FILE_NOT_FOUND))
            return true;
        if (GetTickCount64() - start > minutes * 60000ULL) return false;
    }
}

}  // namespace kit
