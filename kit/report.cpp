// What the run says besides its counts: the Windows it ran on, a restart
// Windows is waiting for, the time, and the JUnit file of a program that
// failed as a whole.
#include <cstdio>

#include "kit/kit.h"

namespace kit {

namespace {

std::string read_string(const char* key, const char* name) {
    Key handle;
    char text[256] = "";
    DWORD size = sizeof text - 1;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | KEY_WOW64_64KEY, &handle.h) != ERROR_SUCCESS ||
        RegQueryValueExA(handle.h, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS) {
        return "";
    }
    return text;
}

bool has_value(const char* key, const char* name) {
    Key handle;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | KEY_WOW64_64KEY, &handle.h) == ERROR_SUCCESS &&
           RegQueryValueExA(handle.h, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

}  // namespace

std::string windows_version() {
    using RtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
    using WineGetVersion = const char*(CDECL*)();
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    auto get_version = reinterpret_cast<RtlGetVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    if (get_version != nullptr) get_version(&info);
    std::string product = read_string("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "ProductName");
    if (product.empty()) product = "Windows";
    // Windows 11 still names itself Windows 10 there; its builds start at 22000.
    const std::size_t ten = product.find("Windows 10");
    if (ten != std::string::npos && info.dwMajorVersion == 10 && info.dwBuildNumber >= 22000) product[ten + 9] = '1';
    char version[512];
    std::snprintf(version, sizeof version, "%s, version %lu.%lu, build %lu%s%ls", product.c_str(), info.dwMajorVersion,
                  info.dwMinorVersion, info.dwBuildNumber, info.szCSDVersion[0] != 0 ? ", " : "", info.szCSDVersion);
    std::string text = version;
    auto wine = reinterpret_cast<WineGetVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
    if (wine != nullptr) text += std::string(" (under Wine ") + wine() + ", not a real Windows)";
    return text;
}

std::string pending_restart() {
    std::string pending;
    auto note = [&pending](bool found, const char* what) {
        if (found) pending += std::string(pending.empty() ? "" : "; ") + what;
    };
    note(has_value("SYSTEM\\CurrentControlSet\\Control\\Session Manager", "PendingFileRenameOperations"),
         "files to replace at the next restart (PendingFileRenameOperations)");
    note(key_exists("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\RebootPending"),
         "Windows servicing (RebootPending)");
    note(key_exists("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\Auto Update\\RebootRequired"),
         "Windows Update (RebootRequired)");
    return pending;
}

std::string local_time() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    return text;
}

void write_program_failure(const std::string& results, const std::string& name, const Outcome& outcome) {
    const std::string xml_path = results + "\\" + name + ".xml";
    bool have_xml = false;
    const std::string xml = read_file(xml_path, &have_xml);
    // Kept under a name that collectors of *.xml do not count twice.
    if (have_xml) MoveFileExA(xml_path.c_str(), (xml_path + ".partial").c_str(), MOVEFILE_REPLACE_EXISTING);
    DeleteFileA(xml_path.c_str());
    char report[1024];
    std::snprintf(report, sizeof report,
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                  "<testsuites tests=\"%u\" failures=\"%u\" disabled=\"0\" errors=\"0\" name=\"%s\">\n"
                  "  <testsuite name=\"%s\" tests=\"1\" failures=\"1\" errors=\"0\">\n"
                  "    <testcase name=\"ProgramRan\" classname=\"%s\" status=\"run\" result=\"completed\">\n"
                  "      <failure message=\"%s %s\"/>\n"
                  "    </testcase>\n  </testsuite>\n</testsuites>\n",
                  outcome.passed + outcome.failed, outcome.failed, name.c_str(), name.c_str(), name.c_str(),
                  name.c_str(), outcome.trouble.c_str());
    write_new_file(xml_path, report);
    Handle log(CreateFileA((results + "\\" + name + ".log").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                           OPEN_ALWAYS, 0, nullptr));
    const std::string line = "\r\nverify: " + name + " " + outcome.trouble + "\r\n";
    DWORD written = 0;
    if (log.h != nullptr) WriteFile(log.h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace kit
