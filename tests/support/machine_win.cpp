// Test machine on Windows (run under Wine): the real drive C and registry,
// inspected with the Windows API. Tests that use it must not run in parallel
// with each other, except through scratch_dir/scratch_key.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include <sddl.h>

#include <algorithm>
#include <stdexcept>

#include "platform/fault.h"
#include "tests/support/machine.h"
#include "kit/remove_tree.h"

namespace veltrax::testing {

namespace {

void fail(const std::string& what) { throw std::runtime_error(what + " (error " + std::to_string(GetLastError()) + ")"); }

// These programs run elevated in the verification kit: DLLs load from
// System32 only, from before main on, or the program does not run.
const bool dll_search_restricted = [] {
    using SetDefault = BOOL(WINAPI*)(DWORD);
    const auto set_default = reinterpret_cast<SetDefault>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
    if (set_default == nullptr || !set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        std::fputs("cannot keep DLLs to System32 (on Windows 7, install update KB2533623)\n", stderr);
        std::_Exit(2);
    }
    return true;
}();

const char* const tool_folders[] = {"C:\\Program Files\\VELTRAX", "C:\\Program Files (x86)\\VELTRAX"};
const char* const tool_keys[] = {"SOFTWARE\\Veltrax",
                                 "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Applets\\SysTray\\BattMeter"};

std::string self_dir() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string text(path, length);
    return text.substr(0, text.find_last_of('\\'));
}

struct KeyHandle {
    HKEY key = nullptr;
    ~KeyHandle() {
        if (key != nullptr) RegCloseKey(key);
    }
};

struct FileHandle {
    HANDLE handle = INVALID_HANDLE_VALUE;
    ~FileHandle() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};

void collect(const std::string& base, const std::string& relative, bool want_dirs, std::vector<std::string>& out) {
    WIN32_FIND_DATAA found;
    const std::string folder = relative.empty() ? base : base + "\\" + relative;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        const std::string path = relative.empty() ? name : relative + "\\" + name;
        const bool is_dir = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (is_dir == want_dirs) out.push_back(path);
        if (is_dir) collect(base, path, want_dirs, out);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

std::string quote(const std::string& arg) {
    // The command-line quoting that the C runtime's parser undoes.
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
        } else {
            if (c == '"') quoted.append(backslashes * 2 + 1, '\\');
            else quoted.append(backslashes, '\\');
            backslashes = 0;
            quoted += c;
        }
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

std::string slurp(const std::string& path) {
    FileHandle file{CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr)};
    if (file.handle == INVALID_HANDLE_VALUE) return "";
    std::string bytes;
    char block[4096];
    DWORD count = 0;
    while (ReadFile(file.handle, block, sizeof block, &count, nullptr) && count > 0) bytes.append(block, count);
    return bytes;
}

// A scratch folder of this machine's own, made in the call that creates it
// with a protected DACL that lets only SYSTEM and Administrators in: these
// programs run elevated (in the verification kit, on machines that standard
// users log on to), and write, replace and delete files in it by path. One
// that is already there was not made by this machine and is never used. It
// goes in the folder VELTRAX_SCRATCH_ROOT names (the kit's runner names its
// own protected run folder), or under C:\.
std::string make_scratch_dir() {
    static unsigned made = 0;
    char root[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("VELTRAX_SCRATCH_ROOT", root, MAX_PATH);
    const std::string folder = (length > 0 && length < MAX_PATH ? std::string(root, length) + "\\scratch-"
                                                                : std::string("C:\\veltrax-scratch-")) +
                               std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64()) + "-" +
                               std::to_string(++made);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        fail("cannot describe the scratch folder's DACL");
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const BOOL made_now = CreateDirectoryA(folder.c_str(), &attributes);
    LocalFree(descriptor);
    if (!made_now) fail("cannot make the scratch folder " + folder + " (one already there is never used)");
    return folder;
}

}  // namespace

std::uint32_t unrecognised_exit_status() { return 0xFFFFFFFFu; }
std::uint32_t crashed_exit_status() { return platform::fault::crash_exit_code; }

Machine::Machine() : scratch_(make_scratch_dir()) {
    for (const char* folder : tool_folders) remove_tree(folder);
    for (const char* key : tool_keys) reg_delete_tree(key);
    reg_delete_tree(scratch_key());
}

Machine::~Machine() {
    for (const char* folder : tool_folders) testing::remove_tree(folder);
    for (const char* key : tool_keys) reg_delete_tree(key);
    testing::remove_tree(scratch_dir());
    reg_delete_tree(scratch_key());
}

std::string Machine::scratch_dir() const { return scratch_; }

std::string Machine::scratch_key() const {
    return "SOFTWARE\\VeltraxSeamTest-" + std::to_string(GetCurrentProcessId());
}

void Machine::write(const std::string& path, const std::string& bytes) const {
    make_dirs(path.substr(0, path.find_last_of('\\')));
    FileHandle file{CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (file.handle == INVALID_HANDLE_VALUE) fail("cannot create " + path);
    DWORD written = 0;
    if (!bytes.empty() && (!WriteFile(file.handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
                           written != bytes.size())) {
        fail("cannot write " + path);
    }
}

std::optional<std::string> Machine::read(const std::string& path) const {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return std::nullopt;
    return slurp(path);
}

bool Machine::exists(const std::string& path) const { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool Machine::is_dir(const std::string& path) const {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void Machine::make_dirs(const std::string& path) const {
    for (std::size_t at = path.find('\\', 3); ; at = path.find('\\', at + 1)) {
        CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
        if (at == std::string::npos) break;
    }
}

void Machine::remove_tree(const std::string& path) const {
    // What stays (a link, a file held open) is not this test's: nothing is written through it.
    if (!testing::remove_tree(path)) fail("cannot remove " + path + "; the test writes nothing there");
}

std::vector<std::string> Machine::files_below(const std::string& folder) const {
    std::vector<std::string> names;
    collect(folder, "", false, names);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> Machine::dirs_below(const std::string& folder) const {
    std::vector<std::string> names;
    collect(folder, "", true, names);
    std::sort(names.begin(), names.end());
    return names;
}

void Machine::reg_set(const std::string& key, const std::string& name, std::uint32_t type,
                      const std::string& data) const {
    KeyHandle handle;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle.key,
                        nullptr) != ERROR_SUCCESS ||
        RegSetValueExA(handle.key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                       static_cast<DWORD>(data.size())) != ERROR_SUCCESS) {
        fail("cannot set " + key + "\\" + name);
    }
}

void Machine::reg_create(const std::string& key) const {
    KeyHandle handle;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle.key,
                        nullptr) != ERROR_SUCCESS) {
        fail("cannot create " + key);
    }
}

std::optional<RegValue> Machine::reg_get(const std::string& key, const std::string& name) const {
    KeyHandle handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle.key) != ERROR_SUCCESS) return std::nullopt;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(handle.key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
    std::string data(size, '\0');
    if (RegQueryValueExA(handle.key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    data.resize(size);
    return RegValue{type, data};
}

bool Machine::reg_key_exists(const std::string& key) const {
    KeyHandle handle;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle.key) == ERROR_SUCCESS;
}

std::vector<std::string> Machine::reg_value_names(const std::string& key) const {
    std::vector<std::string> names;
    KeyHandle handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle.key) != ERROR_SUCCESS) return names;
    for (DWORD index = 0;; ++index) {
        char name[16384];
        DWORD length = sizeof name;
        if (RegEnumValueA(handle.key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, length);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> Machine::reg_subkeys(const std::string& key) const {
    std::vector<std::string> names;
    KeyHandle handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle.key) != ERROR_SUCCESS) return names;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD length = sizeof name;
        if (RegEnumKeyExA(handle.key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, length);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void Machine::reg_delete_tree(const std::string& key) const {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str());
}

std::string Machine::native_path(const std::string& path) const { return path; }

Process Machine::start(const std::vector<std::string>& args, const std::string& program,
                       const std::vector<std::string>& env) const {
    static unsigned started = 0;
    const std::string tool = program.find('\\') != std::string::npos ? program : self_dir() + "\\" + program + ".exe";
    std::string command = quote(tool);
    for (const std::string& arg : args) {
        command += ' ';
        command += quote(arg);
    }

    // The program's output, in this machine's scratch folder, in files that must be new.
    const std::string tag = std::to_string(++started);
    const std::string out_path = scratch_ + "\\out-" + tag;
    const std::string err_path = scratch_ + "\\err-" + tag;

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    FileHandle out{CreateFileA(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_NEW, 0, nullptr)};
    FileHandle err{CreateFileA(err_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_NEW, 0, nullptr)};
    if (out.handle == INVALID_HANDLE_VALUE || err.handle == INVALID_HANDLE_VALUE) fail("cannot capture output");
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out.handle;
    startup.hStdError = err.handle;
    PROCESS_INFORMATION process{};
    for (const std::string& entry : env) {
        const std::size_t equals = entry.find('=');
        SetEnvironmentVariableA(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str());
    }
    // Under load Wine now and then refuses to start a process (ERROR_INTERNAL_ERROR). The tool
    // has not run then, so starting it again changes nothing the test looks at.
    BOOL started_now = FALSE;
    DWORD error = 0;
    for (int attempt = 0; attempt < 5 && !started_now; ++attempt) {
        if (attempt > 0) Sleep(200);
        started_now =
            CreateProcessA(tool.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
        if (!started_now) error = GetLastError();
    }
    for (const std::string& entry : env) SetEnvironmentVariableA(entry.substr(0, entry.find('=')).c_str(), nullptr);
    if (!started_now) {
        SetLastError(error);
        fail("cannot start " + tool);
    }
    CloseHandle(process.hThread);
    return Process(reinterpret_cast<std::uintptr_t>(process.hProcess), out_path, err_path);
}

RunResult Process::finish() {
    HANDLE process = reinterpret_cast<HANDLE>(std::exchange(handle_, 0));
    const bool ended = WaitForSingleObject(process, 60000) == WAIT_OBJECT_0;
    if (!ended) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
    }
    RunResult result;
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    result.exit_code = code;
    result.out = slurp(out_path_);
    result.err = slurp(err_path_);
    DeleteFileA(out_path_.c_str());
    DeleteFileA(err_path_.c_str());
    if (!ended) fail("a program did not finish within 60 s; killed it");
    return result;
}

}  // namespace veltrax::testing
