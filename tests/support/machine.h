// A machine the tests set up and inspect without going through the tool's
// own platform seam: on Linux a fresh machine folder with its registry
// database, read with plain POSIX and SQLite calls; on Windows (under Wine)
// the real drive C and registry, read with the Windows API.
//
// Paths are Windows paths ("C:\..."), registry keys are relative to
// HKEY_LOCAL_MACHINE.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veltrax::testing {

struct RegValue {
    std::uint32_t type = 0;
    std::string data;
    bool operator==(const RegValue&) const = default;
};

struct RunResult {
    std::uint32_t exit_code = 0;  // as the operating system reports it
    std::string out;
    std::string err;
};

// The exit status the operating system shows for the tool's -1.
std::uint32_t unrecognised_exit_status();

// The exit status of a run that the test platform ended at a crash point.
std::uint32_t crashed_exit_status();

// A program started by Machine::start. finish() waits for it (a run that has
// not ended within a minute is killed and fails the test); the destructor
// does so if the test did not.
class Process {
public:
    Process(Process&& other) noexcept
        : handle_(std::exchange(other.handle_, 0)), out_path_(other.out_path_), err_path_(other.err_path_) {}
    Process& operator=(Process&&) = delete;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process() {
        if (handle_ == 0) return;
        try {
            finish();
        } catch (const std::exception&) {
            // A test that did not wait for its program has failed already.
        }
    }
    RunResult finish();

private:
    friend class Machine;
    Process(std::uintptr_t handle, std::string out_path, std::string err_path)
        : handle_(handle), out_path_(std::move(out_path)), err_path_(std::move(err_path)) {}
    std::uintptr_t handle_ = 0;  // 0 once finished
    std::string out_path_;
    std::string err_path_;
};

class Machine {
public:
    // Starts from a machine without the tool's folders and keys.
    Machine();
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // A folder and a key private to this test process, for tests of the seam
    // itself and for files a test hands to a program (gates, logs, traces).
    std::string scratch_dir() const;
    std::string scratch_key() const;

    // Files (folders along the way are created by write).
    void write(const std::string& path, const std::string& bytes) const;
    std::optional<std::string> read(const std::string& path) const;
    bool exists(const std::string& path) const;
    bool is_dir(const std::string& path) const;
    void make_dirs(const std::string& path) const;
    void remove_tree(const std::string& path) const;
    // Every file below folder, as sorted relative paths with "\" separators.
    std::vector<std::string> files_below(const std::string& folder) const;
    // Every folder below folder (not folder itself), sorted, relative.
    std::vector<std::string> dirs_below(const std::string& folder) const;

    // Registry.
    void reg_set(const std::string& key, const std::string& name, std::uint32_t type, const std::string& data) const;
    void reg_create(const std::string& key) const;
    std::optional<RegValue> reg_get(const std::string& key, const std::string& name) const;
    bool reg_key_exists(const std::string& key) const;
    std::vector<std::string> reg_value_names(const std::string& key) const;
    std::vector<std::string> reg_subkeys(const std::string& key) const;
    void reg_delete_tree(const std::string& key) const;

    // Runs the real tool (or another program built beside it) with these
    // arguments after its own path; it inherits this process's environment,
    // plus the NAME=value entries of `env`. A run that has not ended within
    // a minute is killed and fails the test.
    RunResult run(const std::vector<std::string>& args, const std::string& program = "veltrax-place",
                  const std::vector<std::string>& env = {}) const {
        return start(args, program, env).finish();
    }
    // The same, without waiting for it.
    Process start(const std::vector<std::string>& args, const std::string& program = "veltrax-place",
                  const std::vector<std::string>& env = {}) const;

    // A Windows path as the programs of this build open it: itself on
    // Windows, the file it maps to on Linux.
    std::string native_path(const std::string& path) const;

    // The folder that stands for drive C on Linux; empty on Windows.
    std::string host_root() const { return root_; }

private:
    std::string root_;
    std::string scratch_;  // on Windows: the scratch folder this machine made
};

}  // namespace veltrax::testing
