// verify-kit.exe: runs the verification kit's test programs on this Windows
// machine. verify.cmd calls it with its own arguments:
//
//   verify.cmd [/disposable] [/reduced] | verify.cmd /finish
//
// It refuses (one line, exit code 2, nothing changed) unless the checks of
// VERIFY.txt hold. Then it copies what its manifest names into run\ in the
// kit's folder, each checked against the hash it carries, runs the programs
// from there with an environment and a command line it makes itself, gives
// back what the tests changed, and ends with "N passed, N failed": exit code
// 0 when every test passed and everything was given back and removed, 1
// otherwise, naming what stayed. A step that fails after the first change
// and before the tests undoes what the run changed; only when that worked
// does the run call itself refused.
#include <cstdio>

#include "kit/kit.h"

namespace {

using kit::say;

std::string joined(const std::vector<std::string>& items, const char* separator) {
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : separator) + item;
    return text;
}

// The run copy goes once no product of the kit is installed from it any more:
// it is their install source, which a repair would run.
void drop_copy(const std::string& copy, const kit::Manifest& manifest, std::vector<std::string>& failed) {
    const std::vector<std::string> installed = kit::installed_products(manifest);
    if (!installed.empty() && kit::exists(copy))
        failed.push_back("remove its copy " + copy + " (kept while " + joined(installed, ", ") + " is installed from it)");
    else if (!kit::remove_tree(copy))
        failed.push_back("remove its copy " + copy);
}

// The line that says what could not be given back, and how to finish it.
std::string not_given_back_line(const std::vector<std::string>& failed, bool keys_kept) {
    return "verify: could not " + joined(failed, ", ") +
           (keys_kept ? "; the saved keys stay in HKLM\\SOFTWARE\\veltrax-place-verify" : "") +
           ": mend the cause, then run verify.cmd /finish";
}

// The Windows version, as the summary names it.
std::string windows_version() {
    using RtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
    using WineGetVersion = const char*(CDECL*)();
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    auto get_version = reinterpret_cast<RtlGetVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    if (get_version != nullptr) get_version(&info);
    char name[256];
    DWORD size = sizeof name;
    std::string product = RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "ProductName",
                                       RRF_RT_REG_SZ, nullptr, name, &size) == ERROR_SUCCESS
                              ? name
                              : "Windows";
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

// What restart Windows is waiting for, or "".
std::string pending_restart() {
    std::string pending;
    auto note = [&pending](bool found, const char* what) {
        if (found) pending += std::string(pending.empty() ? "" : "; ") + what;
    };
    note(RegGetValueA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                      "PendingFileRenameOperations", RRF_RT_ANY, nullptr, nullptr, nullptr) == ERROR_SUCCESS,
         "files to replace at the next restart (PendingFileRenameOperations)");
    note(kit::key_exists("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\RebootPending"),
         "Windows servicing (RebootPending)");
    note(kit::key_exists("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\Auto Update\\RebootRequired"),
         "Windows Update (RebootRequired)");
    return pending;
}

BOOL WINAPI keep_running(DWORD event) {
    // Ctrl+C ends the program that runs (it shares the console); this one goes on to give back what it saved.
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
}

// What an earlier run left, and what /finish does with it, in one phrase.
std::string leftover_phrase(kit::Leftover leftover, const std::string& copy, const std::vector<std::string>& held) {
    std::vector<std::string> left;
    if (leftover == kit::Leftover::saved) left.emplace_back("the keys it saved in HKLM\\SOFTWARE\\veltrax-place-verify");
    if (leftover == kit::Leftover::unfinished)
        left.emplace_back("HKLM\\SOFTWARE\\veltrax-place-verify, half saved (it had changed nothing yet)");
    if (!copy.empty()) left.push_back("its copy " + copy);
    const std::string keys = "give back the saved keys (the battery meter's and HKLM\\SOFTWARE\\Veltrax)";
    const std::string finish = leftover != kit::Leftover::saved ? "delete what it left"
                               : held.empty()                   ? "remove what its tests made and " + keys
                                                                : "uninstall or delete " + joined(held, ", ") + ", and " + keys;
    return "an earlier run of the kit was cut short or could not give back what it saved; it left " +
           joined(left, ", ") + "; verify.cmd /finish will " + finish + "; run verify.cmd /finish";
}

// A step that failed after the run changed the machine, before the tests:
// undoes the changes; refuses when all of it was undone, else names what
// stayed changed and ends with exit code 1.
[[noreturn]] void stop_before_the_tests(const std::string& why, kit::Handle& held, const std::string& copy,
                                        const std::string& results, bool made_results, const std::string& kept,
                                        bool half_saved = false) {
    std::vector<std::string> stayed;
    held.close();
    if (half_saved) stayed.emplace_back("HKLM\\SOFTWARE\\veltrax-place-verify, half saved (verify.cmd /finish removes it)");
    if (!kit::remove_tree(copy)) stayed.push_back("its copy " + copy);
    if (made_results && !kit::remove_tree(results)) stayed.push_back("a new " + results);
    if (!kept.empty() && !MoveFileExA(kept.c_str(), results.c_str(), 0))
        stayed.push_back("the earlier results, now " + kept);
    if (stayed.empty()) kit::refuse(why);
    say("verify: %s; this run changed and could not undo: %s", why.c_str(), joined(stayed, ", ").c_str());
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    if (!kit::restrict_dll_search()) {
        std::puts("verify: refused: this Windows cannot keep DLLs from loading out of the kit's folder (on Windows 7, "
                  "install update KB2533623)");
        return 2;
    }
    // A crash waits at no dialog; the programs inherit this.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    const kit::Options options = kit::parse_arguments(argc, argv);
    kit::check_elevated();
    const kit::Handle lock = kit::one_run_at_a_time();
    const std::string folder = kit::kit_folder();
    kit::check_kit_folder_protected(folder);
    if (!kit::installer_idle_within(0)) {
        say("verify: another installation is in progress; waiting for it to end (10 minutes at most)");
        if (!kit::installer_idle_within(10)) kit::refuse("another installation was still in progress after 10 minutes");
    }
    const std::string results = folder + "\\results";
    kit::check_results_folder(results);
    const kit::Manifest manifest = kit::built_in();
    const std::vector<std::string> programs = kit::listed_programs(manifest.files);
    const std::string copy = kit::run_copy_of(folder);
    // Every program and msiexec gets this environment, none of this process's own.
    const std::string environment = kit::environment(
        kit::exists(copy) || !options.finish ? copy + "\\temp" : "",
        {"VELTRAX_CRASH_POINT_STRIDE=" + std::string(options.reduced ? "5" : "1"),
         "VELTRAX_PROPERTY_RUNS=" + std::string(options.reduced ? "5" : "150"), "VELTRAX_SCRATCH_ROOT=" + copy});

    if (const std::vector<std::string> users = kit::registered_for_this_user(manifest); !users.empty() && !options.finish)
        kit::refuse("the kit's package " + joined(users, ", ") + " is registered for this user too, and msiexec would "
                    "remove that one instead of the machine's: uninstall it as this user, or delete a bare registration");
    const kit::Leftover leftover = kit::leftover_state();
    const bool copy_left = kit::exists(copy);
    std::vector<std::string> others;
    kit::installed_products(manifest, &others);
    const std::vector<std::string> held = kit::machine_state(manifest);
    const std::string left_alone = others.empty() ? "" : "verify: not the kit's, left alone: " + joined(others, ", ");
    if (options.finish) {
        if (!others.empty()) say("%s", left_alone.c_str());
        say("verify: %s", leftover == kit::Leftover::saved ? "finishing an earlier run: removing what its tests made "
                                                            "and giving back what it saved"
                          : leftover == kit::Leftover::none && !copy_left ? "no earlier run left anything"
                                                                          : "removing what an earlier run left");
        std::vector<std::string> failed;
        if (leftover == kit::Leftover::saved) failed = kit::give_back(manifest, environment);
        const bool keys_kept = !failed.empty();
        // Cut short while saving, it had changed nothing yet.
        if (leftover == kit::Leftover::unfinished && !kit::delete_key_tree("SOFTWARE\\veltrax-place-verify"))
            failed.emplace_back("delete HKLM\\SOFTWARE\\veltrax-place-verify");
        drop_copy(copy, manifest, failed);
        if (!failed.empty()) say("%s", not_given_back_line(failed, keys_kept).c_str());
        return failed.empty() ? 0 : 1;
    }
    // Whatever an earlier run left is finished only when asked for.
    if (leftover != kit::Leftover::none || copy_left) kit::refuse(leftover_phrase(leftover, copy_left ? copy : "", held));
    if (!held.empty() && !options.disposable)
        kit::refuse("this machine holds " + joined(held, ", ") +
                    "; run the kit on a snapshot or a spare machine, or pass /disposable to let the tests delete them");

    if (!others.empty()) say("%s", left_alone.c_str());
    // From here on the machine changes.
    std::string why;
    kit::Handle holding = kit::make_run_copy(folder, manifest.files, why);
    if (!why.empty()) stop_before_the_tests(why, holding, copy, results, false, "");
    const std::string kept = kit::exists(results) ? kit::keep_results(results) : "";
    if (kit::exists(results) && kept.empty())
        stop_before_the_tests("cannot rename the earlier " + results + " to keep it", holding, copy, results, false, "");
    if (!kit::make_private_folder(results, true))
        stop_before_the_tests("cannot write " + results + "; copy the kit to a local folder of its own", holding, copy,
                              results, false, kept);
    if (!kit::save_state())
        stop_before_the_tests("cannot save the battery meter's and HKLM\\SOFTWARE\\Veltrax's keys in "
                              "HKLM\\SOFTWARE\\veltrax-place-verify",
                              holding, copy, results, true, kept, kit::key_exists("SOFTWARE\\veltrax-place-verify"));
    const auto sha_of = [&manifest](const std::string& name) {
        for (const kit::Listed& file : manifest.files)
            if (file.name == name) return file.sha256;
        return std::string();
    };
    SYSTEMTIME now;
    GetLocalTime(&now);
    char started[64];
    std::snprintf(started, sizeof started, "%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    SetConsoleCtrlHandler(keep_running, TRUE);

    say("veltrax-place verification kit: %zu test program%s%s; results in %s", programs.size(),
        programs.size() == 1 ? "" : "s", options.reduced ? ", reduced" : "", results.c_str());
    if (!kept.empty()) say("verify: the earlier results are kept in %s", kept.c_str());
    kit::Outcome total;
    std::string table, notes;
    for (const std::string& name : programs) {
        const kit::Outcome outcome = kit::run_program(copy, results, name, environment);
        char line[256];
        char skipped[32] = "";
        if (outcome.skipped != 0) std::snprintf(skipped, sizeof skipped, " %5u skipped", outcome.skipped);
        std::snprintf(line, sizeof line, "%-26s %5u passed %5u failed%s %6.0f s", name.c_str(), outcome.passed,
                      outcome.failed, skipped, outcome.seconds);
        say("%s", line);
        table += std::string(line) + "\r\n";
        total.passed += outcome.passed;
        total.failed += outcome.failed;
        total.skipped += outcome.skipped;
        total.seconds += outcome.seconds;
        for (const std::string& note : outcome.notes) notes += "note:     " + note + "\r\n";
    }
    std::vector<std::string> not_given_back = kit::give_back(manifest, environment);
    const bool keys_kept = !not_given_back.empty();
    holding.close();
    drop_copy(copy, manifest, not_given_back);

    std::string closing = std::to_string(total.passed) + " passed, " + std::to_string(total.failed) + " failed";
    if (total.skipped != 0) closing += ", " + std::to_string(total.skipped) + " skipped";
    if (options.reduced) closing += " (reduced)";
    const std::string give_back_line = not_given_back.empty() ? "" : not_given_back_line(not_given_back, keys_kept);
    if (!not_given_back.empty()) {
        closing += " (not all given back)";
        say("%s", give_back_line.c_str());
    }
    const std::string restart = pending_restart();
    std::string command = "verify.cmd";
    for (int i = 1; i < argc; ++i)
        command += std::string(" ") + argv[i];
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.0f s", total.seconds);
    const std::string summary =
        "kit:      " + manifest.about + "\r\nwindows:  " + windows_version() + "\r\nstarted:  " + started +
        "\r\nexe:      veltrax-place.exe sha256 " + sha_of("veltrax-place.exe") +
        "\r\npackage:  packages\\base.msi sha256 " + sha_of("packages\\base.msi") +
        "\r\ncommand:  " + command +
        (options.reduced ? "  (reduced: 5 random sequences, not 150; every fifth crash point)" : "") +
        (restart.empty() ? "" : "\r\nrestart:  Windows waits for a restart: " + restart) +
        (others.empty() ? "" : "\r\n" + left_alone) + "\r\n" + notes +
        "\r\n" + table + "total time: " + seconds + "\r\n" + (give_back_line.empty() ? "" : give_back_line + "\r\n") +
        closing + "\r\n";
    if (!kit::write_new_file(results + "\\summary.txt", summary))
        say("verify: cannot write %s\\summary.txt", results.c_str());
    say("%s", closing.c_str());
    return total.failed == 0 && total.passed > 0 && not_given_back.empty() ? 0 : 1;
}
