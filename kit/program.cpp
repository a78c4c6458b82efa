// What the runner starts, each in a job of its own (msiexec, the tool, any
// child it left end with it), with an environment the runner makes.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kit/kit.h"

namespace kit {

namespace {

constexpr DWORD program_limit_ms = 30 * 60 * 1000;
constexpr ULONGLONG job_end_limit_ms = 60 * 1000;

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
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// Ends every process of the job and waits until none is left.
bool end_job(HANDLE job) {
    TerminateJobObject(job, 1);
    for (const ULONGLONG start = GetTickCount64(); GetTickCount64() - start <= job_end_limit_ms; Sleep(100)) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
        if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting, nullptr))
            return false;
        if (accounting.ActiveProcesses == 0) return true;
    }
    return false;
}

// The JUnit file of a program that failed as a whole (a crash, a time-out);
// what XML it wrote is kept beside as NAME.xml.partial.
void write_program_failure(const std::string& results, const std::string& name, const Outcome& outcome) {
    const std::string xml_path = results + "\\" + name + ".xml";
    // What it wrote is kept under a name that collectors of *.xml do not count twice.
    MoveFileExA(xml_path.c_str(), (xml_path + ".partial").c_str(), MOVEFILE_REPLACE_EXISTING);
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
}

}  // namespace

std::string environment(const std::string& temp, const std::vector<std::string>& settings) {
    char system[MAX_PATH], windows[MAX_PATH];
    const UINT length = GetSystemDirectoryA(system, MAX_PATH), windows_length = GetSystemWindowsDirectoryA(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || windows_length < 3 || windows_length >= MAX_PATH) return "";
    const std::string sys = system, win = windows;
    std::vector<std::string> names = {"ComSpec=" + sys + "\\cmd.exe",
                                      "PATH=" + sys + ";" + win + ";" + sys + "\\Wbem",
                                      "PATHEXT=.COM;.EXE;.BAT;.CMD",
                                      "SystemDrive=" + win.substr(0, 2),
                                      "SystemRoot=" + win,
                                      "TEMP=" + (temp.empty() ? win + "\\Temp" : temp),
                                      "TMP=" + (temp.empty() ? win + "\\Temp" : temp),
                                      "windir=" + win};
    names.insert(names.end() - 1, settings.begin(), settings.end());  // sorted, as Windows keeps a block
    std::string block;
    for (const std::string& name : names) block += name + '\0';
    return block + '\0';
}

DWORD run_in_job(const std::string& program, std::string command, const std::string& environment,
                 const std::string& folder, HANDLE output, DWORD limit_ms, std::string& trouble) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    Handle null(CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                            OPEN_EXISTING, 0, nullptr));
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null.h;
    startup.hStdOutput = startup.hStdError = output != nullptr ? output : null.h;
    PROCESS_INFORMATION process{};
    DWORD code = 1;
    Handle job(CreateJobObjectA(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    if (job.h != nullptr && !SetInformationJobObject(job.h, JobObjectExtendedLimitInformation, &limits, sizeof limits))
        job.close();
    if (startup.hStdOutput == nullptr || job.h == nullptr || environment.empty()) {
        trouble = "could not be given its log, its environment or a job of its own (error " + std::to_string(GetLastError()) + ")";
    } else if (!CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                               const_cast<char*>(environment.data()), folder.c_str(), &startup, &process)) {
        trouble = "could not be started (error " + std::to_string(GetLastError()) + ")";
    } else {
        Handle running(process.hProcess);
        Handle thread(process.hThread);
        if (!AssignProcessToJobObject(job.h, running.h)) {
            TerminateProcess(running.h, 1);
            trouble = "could not be put in a job of its own (error " + std::to_string(GetLastError()) + ")";
        } else {
            ResumeThread(thread.h);
            if (WaitForSingleObject(running.h, limit_ms) != WAIT_OBJECT_0)
                trouble = "did not finish within " + std::to_string(limit_ms / 60000) + " minutes; ended it";
        }
        if (!end_job(job.h)) trouble += std::string(trouble.empty() ? "" : "; ") + "its processes could not all be ended";
        WaitForSingleObject(running.h, 10000);
        GetExitCodeProcess(running.h, &code);
    }
    return trouble.empty() ? code : 1;
}

Outcome run_program(const std::string& copy, const std::string& results, const std::string& name,
                    const std::string& environment) {
    const std::string program = copy + "\\" + name + ".exe";
    const std::string xml_path = results + "\\" + name + ".xml";
    // Every test, once, in order, to the end: the whole run, whatever the program's defaults.
    const std::string command = "\"" + program + "\" --gtest_filter=* --gtest_repeat=1 --gtest_shuffle=0 "
                                "--gtest_fail_fast=0 --gtest_break_on_failure=0 --gtest_also_run_disabled_tests=0 "
                                "\"--gtest_output=xml:" + xml_path + "\"";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    Handle log(CreateFileA((results + "\\" + name + ".log").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                           CREATE_NEW, 0, nullptr));
    const ULONGLONG start = GetTickCount64();
    Outcome outcome;
    const DWORD code = log.h == nullptr ? (outcome.trouble = "could not be given its log", 1)
                                        : run_in_job(program, command, environment, copy, log.h, program_limit_ms, outcome.trouble);
    outcome.seconds = static_cast<double>(GetTickCount64() - start) / 1000.0;

    bool have_xml = false;
    const std::string xml = read_file(xml_path, &have_xml);
    const unsigned tests = attribute(xml, "tests");
    outcome.failed = attribute(xml, "failures") + attribute(xml, "errors");
    outcome.skipped = occurrences(xml, "result=\"skipped\"") + attribute(xml, "disabled");
    outcome.passed = tests >= outcome.failed + outcome.skipped ? tests - outcome.failed - outcome.skipped : 0;
    // What a test asked the summary to say (RecordProperty("note", ...)).
    const std::string note = "<property name=\"note\" value=\"";
    for (std::size_t at = xml.find(note); at != std::string::npos; at = xml.find(note, at + 1)) {
        const std::size_t from = at + note.size();
        outcome.notes.push_back(name + ": " + xml.substr(from, xml.find('"', from) - from));
    }
    if (outcome.trouble.empty() && (!have_xml || tests == 0)) outcome.trouble = "reported no tests";
    if (outcome.trouble.empty() && code != 0 && outcome.failed == 0)
        outcome.trouble = "ended with exit code " + std::to_string(code) + " although no test failed";
    if (!outcome.trouble.empty()) {
        ++outcome.failed;
        const std::string line = "\r\nverify: " + name + " " + outcome.trouble + "\r\n";
        DWORD written = 0;
        if (log.h != nullptr) WriteFile(log.h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        write_program_failure(results, name, outcome);
    }
    return outcome;
}

}  // namespace kit
