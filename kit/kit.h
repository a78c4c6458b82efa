// The parts of the verification kit's runner (verify-kit.exe; see
// verify_kit.cpp), one file per concern, each operation's contract the
// sentence above it. Everything here uses only what Windows 7 SP1 (with
// KB2533623) has.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "kit/remove_tree.h"

namespace kit {

// ---- common.cpp: handles, files, text.

// A handle or key, closed when this ends or moves on.
template <typename Raw, auto Close>
struct Owned {
    Raw h = nullptr;
    Owned() = default;
    explicit Owned(Raw raw) : h(raw == INVALID_HANDLE_VALUE ? nullptr : raw) {}
    Owned& operator=(Owned&& other) noexcept {
        std::swap(h, other.h);
        return *this;
    }
    Owned(Owned&& other) noexcept { *this = std::move(other); }
    ~Owned() { close(); }
    void close() {
        if (h != nullptr) Close(h);
        h = nullptr;
    }
};
using Handle = Owned<HANDLE, CloseHandle>;
using Key = Owned<HKEY, RegCloseKey>;

// A security descriptor made from SDDL, for as long as this lives; none for a null SDDL.
struct Security {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    mutable SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, FALSE};
    explicit Security(const char* sddl);
    Security(const Security&) = delete;
    Security& operator=(const Security&) = delete;
    ~Security() { LocalFree(descriptor); }
    SECURITY_ATTRIBUTES* attributes() const { return descriptor != nullptr ? &inherited : nullptr; }
};

// The utility's folders and keys and the tool's own: what the tests make,
// and what a machine the kit runs on must not hold.
inline constexpr const char* state_folders[] = {"C:\\Program Files\\VELTRAX", "C:\\Program Files (x86)\\VELTRAX",
                                                "C:\\Program Files\\veltrax-place"};
inline constexpr const char* state_keys[] = {"SOFTWARE\\Veltrax", "SOFTWARE\\veltrax-place"};
// Restricts this process's DLL search to System32 (before anything else
// runs); false where Windows cannot (Windows 7 without KB2533623).
bool restrict_dll_search();
// This process's token, opened for `access`; none when it cannot be.
Handle own_token(DWORD access);
// Whether this runs under Wine (whose ntdll says so), where a file's owner
// and permissions are its Unix owner and mode.
bool under_wine();
// The runner's manifest: each program and package it uses, with its SHA-256;
// the product codes of the packages, and their upgrade code.
struct Listed {
    std::string name;
    std::string sha256;
};
struct Manifest {
    std::string about = "veltrax-place verification kit";
    std::vector<Listed> files;
    std::vector<std::string> products;
    std::string upgrade;
};
// The carried products installed for the machine; every other product of
// their upgrade code (the machine's, or this user's) goes to `others`, to be named and left.
std::vector<std::string> installed_products(const Manifest& manifest, std::vector<std::string>* others = nullptr);
// The carried products registered for this user too: msiexec /x of such a code removes the user's, not the machine's.
std::vector<std::string> registered_for_this_user(const Manifest& manifest);
// Prints one line and flushes it.
void say(const char* format, ...);
// Prints "verify: refused: WHY" and ends the process with exit code 2.
[[noreturn]] void refuse(const std::string& why);
// The whole file, read through a handle that follows no link; `ok` says whether it could be opened.
std::string read_file(const std::string& path, bool* ok = nullptr);
// Writes a file that must not exist yet (a link or a planted file in its place fails it).
bool write_new_file(const std::string& path, const std::string& bytes);
// The SHA-256 of bytes, as lower-case hex.
std::string sha256(const std::string& bytes);
// Whether a file or folder (or a link, not its target) exists at the path.
bool exists(const std::string& path);
// Whether HKLM (or `root`; 64-bit view) has this key.
bool key_exists(const std::string& key, HKEY root = HKEY_LOCAL_MACHINE);
// Deletes an HKLM key with everything below it; true when it is gone.
bool delete_key_tree(const std::string& key);
// A new folder whose only entries are full control for SYSTEM and
// Administrators (and read for Users when `readable`); false when anything is
// already at the path or the folder cannot be made so.
bool make_private_folder(const std::string& path, bool readable);
// Whether a SID is SYSTEM, Administrators or TrustedInstaller (under Wine, also the one user).
bool trusted_sid(PSID sid);
// Removes a file or folder tree without following any link; true when nothing is left.
using veltrax::testing::remove_tree;
// Waits, at most `minutes`, until no Windows Installer installation runs; false when one still does.
bool installer_idle_within(unsigned minutes);

// ---- checks.cpp: the checks made before anything changes (each refuses: one line, exit code 2), the run copy.

struct Options {
    bool disposable = false;  // /disposable: the machine may hold the utility; the tests delete it
    bool finish = false;      // /finish: finish an earlier run that was cut short or not given back, then stop
    bool reduced = false;     // /reduced: fewer random sequences; the report says so
};
// The arguments of verify.cmd; refuses any other.
Options parse_arguments(int argc, char** argv);
// Holds the machine-wide lock of the kit for as long as the handle lives; refuses when another run holds it.
Handle one_run_at_a_time();
// The folder of verify-kit.exe, as a handle to it resolves it; refuses one
// reached through a link, on a network or removable drive, too long, or not
// in the ANSI code page.
std::string kit_folder();
// Refuses unless the runner runs elevated.
void check_elevated();
// Refuses when anyone but SYSTEM, Administrators or TrustedInstaller owns, or
// may change (write, delete, rename, or change the permissions or owner of),
// the kit's folder or anything in it, or may move or replace any folder
// above it up to the drive's root.
void check_kit_folder_protected(const std::string& kit);
inline constexpr std::size_t manifest_size = 8192;
extern const char manifest[manifest_size];
// What the runner carries; refuses when it carries no file.
Manifest built_in();
// The test programs the manifest names (NAME_tests.exe in the kit's top folder), sorted.
std::vector<std::string> listed_programs(const std::vector<Listed>& listed);
// Refuses when results\ is in the kit folder as something other than a plain folder.
void check_results_folder(const std::string& results);
// What of the utility, the tool's state and the kit's products this machine holds, one phrase each.
std::vector<std::string> machine_state(const Manifest& manifest);
// The kit as it runs, a checked copy out of users' reach:
// The run copy: run\ in the kit's folder, which only administrators can change.
inline std::string run_copy_of(const std::string& kit) { return kit + "\\run"; }
// Makes the run copy, a new private folder with temp\ in it, and copies
// every listed file into it, each read through one handle and hashed on the
// bytes copied; a handle that holds it (no rename or removal while open), or
// none with `why` set (the folder may then be there, in part).
Handle make_run_copy(const std::string& kit, const std::vector<Listed>& listed, std::string& why);
// Renames an earlier run's results\ to results-DATE (the date it was made), so that it is kept; the new name, or
// "" when it could not be renamed.
std::string keep_results(const std::string& results);

// ---- saved_state.cpp: what the tests change, saved under HKLM before they
// run and given back after, and the clean-up of everything the tests made.

enum class Leftover { none, unfinished, saved };
// Whether an earlier run left saved keys it has not given back (or was cut
// short while saving: unfinished); refuses a saved state this runner did not write.
Leftover leftover_state();
// Saves the keys the tests change; the mark that vouches for the copies is
// written and flushed last. False (nothing saved) when any step failed.
bool save_state();
// Uninstalls the carried products installed for the machine (msiexec, in a
// job), removes what the tests made, gives back the saved keys, and only
// then drops the saved copy; what could not be done, one phrase each.
std::vector<std::string> give_back(const Manifest& manifest, const std::string& environment);

// ---- program.cpp: one test program.

struct Outcome {
    unsigned passed = 0, failed = 0, skipped = 0;
    double seconds = 0;
    std::string trouble;             // why the program itself failed, if it did
    std::vector<std::string> notes;  // what its tests asked the summary to say, "NAME: note" each
};
// The environment block of every program the runner starts, made here and
// never taken from its own: the system's variables from the system, TEMP and
// TMP in `temp` (none: the Windows folder's Temp), and `settings` ("NAME=VALUE" each).
std::string environment(const std::string& temp, const std::vector<std::string>& settings);
// Runs `command` (its first word `program`) in a job of its own with that
// environment, its output to `output` (none: NUL); at `limit_ms`, or when it ends, the
// whole job is ended and waited for. Its exit code, or 1 with `trouble` set.
DWORD run_in_job(const std::string& program, std::string command, const std::string& environment,
                 const std::string& folder, HANDLE output, DWORD limit_ms, std::string& trouble);
// Runs one program of the run copy, every test of it (--gtest_filter=*), with
// its output and JUnit XML in results\.
Outcome run_program(const std::string& copy, const std::string& results, const std::string& name,
                    const std::string& environment);

}  // namespace kit
