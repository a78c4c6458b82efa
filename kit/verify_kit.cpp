// verify-kit.exe: runs the verification kit's test programs on this Windows
// machine. verify.cmd calls it with its own arguments:
//
//   verify.cmd [/disposable]
//
// Before anything runs, it checks the kit against SHA256SUMS, that it runs
// elevated, that it can write results\ beside itself and that the machine
// holds neither the utility nor the tool's state (unless /disposable); a
// refusal is one line, exit code 2, and nothing changed. Then it saves what
// the tests delete, runs each program, restores what it saved, removes what
// the run made, and ends with "N passed, N failed": exit code 0 when every
// test passed, 1 when any failed. It uses nothing that Windows 7 SP1 lacks.
#include <windows.h>

#include <bcrypt.h>
#include <msi.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/remove_tree_win.h"

namespace {

using veltrax::testing::remove_tree;

const char* const upgrade_code = "{8CF832A1-8C7D-479D-A1B6-51AFAC40EF5C}";

// What the tests delete and the run gives back.
const char* const saved_keys[] = {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Applets\\SysTray\\BattMeter",
                                  "SOFTWARE\\Veltrax"};

// The utility and the tool's own state: a machine that holds any of them is
// refused, and the run removes whatever of them it made.
const char* const state_folders[] = {"C:\\Program Files\\VELTRAX", "C:\\Program Files (x86)\\VELTRAX",
                                     "C:\\Program Files\\veltrax-place"};
const char* const state_keys[] = {"SOFTWARE\\Veltrax", "SOFTWARE\\veltrax-place"};

// Left by a test program that was cut short: its scratch folder and key.
const char* const scratch_folder_prefix = "C:\\veltrax-scratch-";
const char* const scratch_key_prefix = "VeltraxSeamTest-";

constexpr DWORD program_limit_ms = 30 * 60 * 1000;

struct Handle {
    HANDLE h = nullptr;
    Handle() = default;
    explicit Handle(HANDLE handle) : h(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (h != nullptr) CloseHandle(h);
    }
};

struct Key {
    HKEY h = nullptr;
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() {
        if (h != nullptr) RegCloseKey(h);
    }
};

void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// One line, exit code 2: nothing was changed.
[[noreturn]] void refuse(const std::string& why) {
    say("verify: refused: %s", why.c_str());
    std::exit(2);
}

std::string kit_folder() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string self(path, length);
    return self.substr(0, self.find_last_of('\\'));
}

bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool key_exists(const std::string& key) {
    Key handle;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle.h) == ERROR_SUCCESS;
}

std::string read_file(const std::string& path, bool* ok = nullptr) {
    Handle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (ok != nullptr) *ok = file.h != nullptr;
    std::string bytes;
    char block[65536];
    DWORD count = 0;
    while (file.h != nullptr && ReadFile(file.h, block, sizeof block, &count, nullptr) && count > 0) {
        bytes.append(block, count);
    }
    return bytes;
}

bool write_file(const std::string& path, const std::string& bytes) {
    Handle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file.h != nullptr &&
           (bytes.empty() || (WriteFile(file.h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                              written == bytes.size()));
}

// The file's SHA-256 as lower-case hex; empty when it cannot be read.
std::string sha256_of(const std::string& path) {
    bool readable = false;
    const std::string bytes = read_file(path, &readable);
    if (!readable) return "";
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char digest[32];
    bool done = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
                BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0 &&
                BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                               static_cast<ULONG>(bytes.size()), 0) == 0 &&
                BCryptFinishHash(hash, digest, sizeof digest, 0) == 0;
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!done) return "";
    std::string hex;
    for (unsigned char byte : digest) {
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

// Every file SHA256SUMS names is there with its bytes ("sha256sum" format).
void check_sums(const std::string& kit) {
    bool readable = false;
    const std::string sums = read_file(kit + "\\SHA256SUMS", &readable);
    if (!readable) refuse("SHA256SUMS is missing from " + kit + "; unzip the kit again");
    const std::vector<std::string> lines = lines_of(sums);
    if (lines.empty()) refuse("SHA256SUMS is empty; unzip the kit again");
    for (const std::string& line : lines) {
        if (line.size() < 67 || line[64] != ' ') refuse("SHA256SUMS is damaged; unzip the kit again");
        std::string name = line.substr(line[65] == '*' || line[65] == ' ' ? 66 : 65);
        for (char& c : name) {
            if (c == '/') c = '\\';
        }
        const std::string actual = sha256_of(kit + "\\" + name);
        if (actual.empty()) refuse(name + " is missing from the kit; unzip the kit again");
        if (actual != line.substr(0, 64)) refuse(name + " is not the file the kit was made with; unzip the kit again");
    }
}

bool elevated() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
    Handle token(raw);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return GetTokenInformation(token.h, TokenElevation, &elevation, sizeof elevation, &size) &&
           elevation.TokenIsElevated != 0;
}

// results\ can be written; leaves no trace.
bool results_writable(const std::string& results) {
    const bool made = CreateDirectoryA(results.c_str(), nullptr) != 0;
    const std::string probe = results + "\\.probe";
    const bool ok = write_file(probe, "probe") && DeleteFileA(probe.c_str());
    if (made) RemoveDirectoryA(results.c_str());
    return ok;
}

std::vector<std::string> installed_products() {
    std::vector<std::string> codes;
    char code[39];
    for (DWORD index = 0; MsiEnumRelatedProductsA(upgrade_code, 0, index, code) == ERROR_SUCCESS; ++index) {
        codes.emplace_back(code);
    }
    return codes;
}

// What of the utility and the tool's state this machine holds.
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

// Every folder or file whose full path starts with `prefix`.
void remove_matching(const std::string& prefix) {
    const std::string folder = prefix.substr(0, prefix.find_last_of('\\'));
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((prefix + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    std::vector<std::string> names;
    do {
        names.emplace_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    for (const std::string& name : names) remove_tree(folder + "\\" + name);
}

void delete_key_tree(const std::string& key) {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str());
}

std::string system_tool(const char* name) {
    char windows[MAX_PATH];
    const UINT length = GetSystemDirectoryA(windows, MAX_PATH);
    return std::string(windows, length) + "\\" + name;
}

// Runs a program of Windows' own with its output thrown away; its exit code.
DWORD run_quietly(const std::string& program, const std::string& arguments) {
    std::string command = "\"" + program + "\" " + arguments;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    Handle null(CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                            OPEN_EXISTING, 0, nullptr));
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = null.h;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process)) {
        return 1;
    }
    CloseHandle(process.hThread);
    Handle running(process.hProcess);
    WaitForSingleObject(running.h, 5 * 60 * 1000);
    DWORD code = 1;
    GetExitCodeProcess(running.h, &code);
    return code;
}

// Where the saved keys wait until the run gives them back; on the machine, so
// that a run cut short is finished by the next one from any copy of the kit.
std::string state_folder() {
    char data[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("ProgramData", data, MAX_PATH);
    const std::string base = length > 0 && length < MAX_PATH ? std::string(data, length) : "C:\\ProgramData";
    return base + "\\veltrax-place-verify";
}

// The outermost key along `key` that does not exist yet (what the tests may
// create), or `key` itself when it exists; "" when the whole path exists.
std::string first_missing(const std::string& key) {
    for (std::size_t at = key.find('\\');; at = key.find('\\', at + 1)) {
        const std::string prefix = key.substr(0, at);
        if (!key_exists(prefix)) return prefix;
        if (at == std::string::npos) return "";
    }
}

// Saves each key as a .reg file, or notes the outermost key the tests would
// add; "saved" is written last, so a run cut short while saving left nothing
// to give back.
bool save(const std::string& state) {
    remove_tree(state);
    if (!CreateDirectoryA(state.c_str(), nullptr)) return false;
    for (std::size_t i = 0; i < std::size(saved_keys); ++i) {
        const std::string file = state + "\\key" + std::to_string(i);
        const std::string missing = first_missing(saved_keys[i]);
        if (!missing.empty()) {
            if (!write_file(file + ".absent", missing)) return false;
        } else if (run_quietly(system_tool("reg.exe"), "export \"HKLM\\" + std::string(saved_keys[i]) + "\" \"" +
                                                           file + ".reg\" /y") != 0 ||
                   !exists(file + ".reg")) {
            return false;
        }
    }
    return write_file(state + "\\saved", "saved");
}

// Removes what a run made, and gives back what it saved.
void restore(const std::string& state) {
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    for (const std::string& code : installed_products()) {
        MsiConfigureProductA(code.c_str(), INSTALLLEVEL_DEFAULT, INSTALLSTATE_ABSENT);
    }
    for (const char* folder : state_folders) remove_tree(folder);
    remove_matching(scratch_folder_prefix);
    char temp[MAX_PATH];
    const DWORD length = GetTempPathA(MAX_PATH, temp);
    if (length > 0 && length < MAX_PATH) {
        remove_matching(std::string(temp, length) + "veltrax-out-");
        remove_matching(std::string(temp, length) + "veltrax-err-");
    }
    for (const char* key : state_keys) delete_key_tree(key);
    {
        Key software;
        std::vector<std::string> scratch;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &software.h) == ERROR_SUCCESS) {
            char name[256];
            for (DWORD index = 0;; ++index) {
                DWORD size = sizeof name;
                if (RegEnumKeyExA(software.h, index, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
                    break;
                }
                if (std::strncmp(name, scratch_key_prefix, std::strlen(scratch_key_prefix)) == 0) {
                    scratch.push_back(std::string("SOFTWARE\\") + name);
                }
            }
        }
        for (const std::string& key : scratch) delete_key_tree(key);
    }
    for (std::size_t i = 0; i < std::size(saved_keys); ++i) {
        const std::string file = state + "\\key" + std::to_string(i);
        bool absent = false;
        const std::string missing = read_file(file + ".absent", &absent);
        delete_key_tree(absent ? missing : saved_keys[i]);
        if (!absent) run_quietly(system_tool("reg.exe"), "import \"" + file + ".reg\"");
    }
    DeleteFileA((state + "\\saved").c_str());
    remove_tree(state);
}

// The kit's test programs (every NAME_tests.exe beside the runner), by name.
std::vector<std::string> test_programs(const std::string& kit) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((kit + "\\*_tests.exe").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string file = found.cFileName;
        names.push_back(file.substr(0, file.size() - 4));
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

struct Outcome {
    unsigned passed = 0, failed = 0, skipped = 0;
    double seconds = 0;
};

unsigned attribute(const std::string& xml, const char* name) {
    const std::size_t tag = xml.find("<testsuites");
    if (tag == std::string::npos) return 0;
    const std::string key = std::string(" ") + name + "=\"";
    const std::size_t at = xml.find(key, tag);
    if (at == std::string::npos || at > xml.find('>', tag)) return 0;
    return static_cast<unsigned>(std::strtoul(xml.c_str() + at + key.size(), nullptr, 10));
}

unsigned occurrences(const std::string& text, const std::string& what) {
    unsigned count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

// Runs one test program with its output and JUnit XML in results\.
Outcome run_program(const std::string& kit, const std::string& results, const std::string& name, HANDLE job) {
    const std::string program = kit + "\\" + name + ".exe";
    const std::string xml_path = results + "\\" + name + ".xml";
    DeleteFileA(xml_path.c_str());
    std::string command = "\"" + program + "\" \"--gtest_output=xml:" + xml_path + "\"";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    Handle log(CreateFileA((results + "\\" + name + ".log").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                           CREATE_ALWAYS, 0, nullptr));
    Handle null(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null.h;
    startup.hStdOutput = startup.hStdError = log.h;
    PROCESS_INFORMATION process{};
    const ULONGLONG start = GetTickCount64();
    Outcome outcome;
    DWORD code = 1;
    std::string trouble;
    if (CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, kit.c_str(),
                       &startup, &process)) {
        if (job != nullptr) AssignProcessToJobObject(job, process.hProcess);
        ResumeThread(process.hThread);
        CloseHandle(process.hThread);
        Handle running(process.hProcess);
        if (WaitForSingleObject(running.h, program_limit_ms) != WAIT_OBJECT_0) {
            TerminateProcess(running.h, 1);
            WaitForSingleObject(running.h, 10000);
            trouble = "did not finish within " + std::to_string(program_limit_ms / 60000) + " minutes; ended it";
        }
        GetExitCodeProcess(running.h, &code);
    } else {
        trouble = "could not be started (error " + std::to_string(GetLastError()) + ")";
    }
    outcome.seconds = static_cast<double>(GetTickCount64() - start) / 1000.0;

    bool have_xml = false;
    const std::string xml = read_file(xml_path, &have_xml);
    const unsigned tests = attribute(xml, "tests");
    outcome.failed = attribute(xml, "failures") + attribute(xml, "errors");
    outcome.skipped = occurrences(xml, "result=\"skipped\"") + attribute(xml, "disabled");
    outcome.passed = tests >= outcome.failed + outcome.skipped ? tests - outcome.failed - outcome.skipped : 0;
    if (trouble.empty() && (!have_xml || tests == 0)) trouble = "reported no tests";
    if (trouble.empty() && code != 0 && outcome.failed == 0) {
        trouble = "ended with exit code " + std::to_string(code) + " although no test failed";
    }
    if (!trouble.empty()) {
        // The program itself failed: one failed case in a report of its own, so
        // that results\ always holds one JUnit file a program.
        ++outcome.failed;
        char report[1024];
        std::snprintf(report, sizeof report,
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<testsuites tests=\"%u\" failures=\"%u\" disabled=\"0\" errors=\"0\" name=\"%s\">\n"
                      "  <testsuite name=\"%s\" tests=\"1\" failures=\"1\" errors=\"0\">\n"
                      "    <testcase name=\"ProgramRan\" classname=\"%s\" status=\"run\" result=\"completed\">\n"
                      "      <failure message=\"%s %s\"/>\n"
                      "    </testcase>\n  </testsuite>\n</testsuites>\n",
                      outcome.passed + outcome.failed, outcome.failed, name.c_str(), name.c_str(), name.c_str(),
                      name.c_str(), trouble.c_str());
        if (have_xml) {
            write_file(results + "\\" + name + ".incomplete.xml", xml);
        }
        write_file(xml_path, report);
        std::string text = read_file(results + "\\" + name + ".log");
        write_file(results + "\\" + name + ".log", text + "\nverify: " + name + " " + trouble + "\n");
    }
    return outcome;
}

std::string windows_version() {
    using RtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
    using WineGetVersion = const char*(CDECL*)();
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    auto get_version = reinterpret_cast<RtlGetVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    if (get_version != nullptr) get_version(&info);
    std::string product = "Windows";
    {
        Key current;
        char text[256] = "";
        DWORD size = sizeof text - 1;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0, KEY_READ,
                          &current.h) == ERROR_SUCCESS &&
            RegQueryValueExA(current.h, "ProductName", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) ==
                ERROR_SUCCESS) {
            product = text;
        }
    }
    char version[512];
    std::snprintf(version, sizeof version, "%s, version %lu.%lu, build %lu%s%ls", product.c_str(), info.dwMajorVersion,
                  info.dwMinorVersion, info.dwBuildNumber, info.szCSDVersion[0] != 0 ? ", " : "", info.szCSDVersion);
    std::string text = version;
    auto wine = reinterpret_cast<WineGetVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
    if (wine != nullptr) text += std::string(" (under Wine ") + wine() + ", not a real Windows)";
    return text;
}

std::string local_time() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    return text;
}

BOOL WINAPI keep_running(DWORD event) {
    // Ctrl+C ends the test program that is running (it shares the console);
    // this process goes on to give back what it saved.
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
}

}  // namespace

int main(int argc, char** argv) {
    bool disposable = false;
    for (int i = 1; i < argc; ++i) {
        if (lstrcmpiA(argv[i], "/disposable") == 0) {
            disposable = true;
        } else {
            refuse(std::string("unknown argument '") + argv[i] + "'; the only one is /disposable");
        }
    }
    const std::string kit = kit_folder();
    check_sums(kit);
    if (!elevated()) refuse("not elevated: run verify.cmd from a command prompt opened with \"Run as administrator\"");
    const std::string results = kit + "\\results";
    if (!results_writable(results)) refuse("cannot write " + results + "; copy the kit to a local folder you can write");

    const std::string state = state_folder();
    if (exists(state + "\\saved")) {
        say("verify: an earlier run was cut short; removing what it made and giving back what it saved");
        restore(state);
    } else {
        remove_tree(state);  // cut short while saving: the machine was not changed yet
    }
    const std::vector<std::string> held = machine_state();
    if (!held.empty() && !disposable) {
        std::string list;
        for (const std::string& item : held) list += (list.empty() ? "" : ", ") + item;
        refuse("this machine holds " + list +
               "; run the kit on a snapshot or a spare machine, or pass /disposable to let the run delete them");
    }

    const std::string exe_sha = sha256_of(kit + "\\veltrax-place.exe");
    const std::string msi_sha = sha256_of(kit + "\\packages\\base.msi");
    const std::string started = local_time();
    CreateDirectoryA(results.c_str(), nullptr);
    if (!save(state)) {
        remove_tree(state);
        refuse("cannot save the battery meter's and HKLM\\SOFTWARE\\Veltrax's registry keys in " + state);
    }
    SetConsoleCtrlHandler(keep_running, TRUE);
    char runs[32];
    if (GetEnvironmentVariableA("VELTRAX_PROPERTY_RUNS", runs, sizeof runs) == 0) {
        SetEnvironmentVariableA("VELTRAX_PROPERTY_RUNS", "150");
    }
    Handle job(CreateJobObjectA(nullptr, nullptr));
    if (job.h != nullptr) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job.h, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }

    const std::vector<std::string> programs = test_programs(kit);
    say("veltrax-place verification kit: %zu programs; results in %s", programs.size(), results.c_str());
    Outcome total;
    std::string table;
    for (const std::string& name : programs) {
        const Outcome outcome = run_program(kit, results, name, job.h);
        char line[256];
        char skipped[32] = "";
        if (outcome.skipped != 0) std::snprintf(skipped, sizeof skipped, " %5u skipped", outcome.skipped);
        std::snprintf(line, sizeof line, "%-26s %5u passed %5u failed%s %6.0f s", name.c_str(), outcome.passed, outcome.failed,
                      skipped, outcome.seconds);
        say("%s", line);
        table += std::string(line) + "\r\n";
        total.passed += outcome.passed;
        total.failed += outcome.failed;
        total.skipped += outcome.skipped;
        total.seconds += outcome.seconds;
    }
    restore(state);

    std::string closing = std::to_string(total.passed) + " passed, " + std::to_string(total.failed) + " failed";
    if (total.skipped != 0) closing += ", " + std::to_string(total.skipped) + " skipped";
    const std::vector<std::string> about = lines_of(read_file(kit + "\\VERIFY.txt"));
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.0f s", total.seconds);
    const std::string summary = "kit:      " + (about.empty() ? std::string("veltrax-place verification kit") : about[0]) +
                                "\r\nwindows:  " + windows_version() + "\r\nstarted:  " + started +
                                "\r\nexe:      veltrax-place.exe sha256 " + exe_sha +
                                "\r\npackage:  packages\\base.msi sha256 " + msi_sha + "\r\ncommand:  " +
                                (disposable ? "verify.cmd /disposable" : "verify.cmd") + "\r\n\r\n" + table + "total time: " + seconds +
                                "\r\n" + closing + "\r\n";
    if (!write_file(results + "\\summary.txt", summary)) say("verify: cannot write %s\\summary.txt", results.c_str());
    say("%s", closing.c_str());
    return total.failed == 0 && total.passed > 0 ? 0 : 1;
}
