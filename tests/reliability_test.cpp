// The whole tool under faults: refused rights, a full disk, and a registry
// database that is locked, read-only or not a database. Whatever happens, no
// file is lost or half-written.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "tests/support/checks.h"
#include "tests/support/machine.h"
#include "tests/support/model.h"

namespace veltrax {
namespace {

namespace fs = std::filesystem;
namespace model = testing::model;
using testing::has_file;
using testing::Machine;

constexpr uid_t nobody = 65534;

std::string tool_dir() { return fs::read_symlink("/proc/self/exe").parent_path().string(); }

struct Spawn {
    std::string program = "veltrax-place";
    std::vector<std::string> env;  // NAME=value added to this process's environment
    bool unprivileged = false;     // run as nobody (when we are root)
    rlim_t file_size_limit = RLIM_INFINITY;
};

// Starts the tool in its own process; returns its pid.
pid_t start(const Spawn& how, const std::string& option) {
    const std::string program = how.program.find('/') == std::string::npos ? tool_dir() + "/" + how.program : how.program;
    const pid_t child = ::fork();
    if (child != 0) return child;
    for (const std::string& entry : how.env) ::putenv(const_cast<char*>(entry.c_str()));
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (how.file_size_limit != RLIM_INFINITY) {
        const rlimit limit{how.file_size_limit, how.file_size_limit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_IGN);  // a full disk answers with an error, not a signal
    }
    if (how.unprivileged && ::geteuid() == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0) ::_exit(126);
    }
    ::execl(program.c_str(), program.c_str(), option.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
}

// Waits for the process; its exit code, or 1000 + signal.
int finish(pid_t child) {
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

int run(const Spawn& how, const std::string& option) { return finish(start(how, option)); }

void seed_installable(const Machine& m, std::size_t library_size = 200000) {
    for (const std::string& file : model::utility_files()) m.write(model::x86_utilities + "\\" + file, "x86 " + file);
    std::string library(library_size, '\0');
    for (std::size_t i = 0; i < library.size(); ++i) library[i] = static_cast<char>(i * 7 + i / 251);
    m.write(model::x86_library, library);
}

// A copy of the tool that an unprivileged user can run even when the build
// folder is private (a build under /root, say).
std::string tool_for_everyone(const Machine& m) {
    const fs::path bin = fs::path(m.host_root()) / "bin";
    fs::create_directories(bin);
    fs::copy_file(fs::path(tool_dir()) / "veltrax-place", bin / "veltrax-place");
    fs::permissions(m.host_root(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
    fs::permissions(bin, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
    return (bin / "veltrax-place").string();
}

void set_tree_writable(const std::string& root, bool writable) {
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        fs::permissions(entry.path(), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        writable ? fs::perm_options::add : fs::perm_options::remove);
    }
    fs::permissions(root, fs::perms::owner_write, writable ? fs::perm_options::add : fs::perm_options::remove);
}

// -------------------------------------------------------------- refused rights

TEST(Rights, ReadOnlyMachineChangesNothingForAnUnprivilegedUser) {
    Machine machine;
    seed_installable(machine);
    machine.reg_set(model::slot_key, "Application", 2, model::sz_bytes(""));
    machine.reg_set(model::plugin_key, "DllName", 1, model::sz_bytes("old"));
    Spawn how;
    how.program = tool_for_everyone(machine);
    how.unprivileged = true;
    const model::Snapshot before = model::take(machine);
    set_tree_writable(machine.host_root(), false);

    for (const char* option : {"-i", "-panelOn", "-panelOff", "-u"}) {
        EXPECT_EQ(run(how, option), 0) << option;
    }
    EXPECT_EQ(run(how, "-x"), 255);
    set_tree_writable(machine.host_root(), true);
    const model::Snapshot after = model::take(machine);
    EXPECT_TRUE(after == before) << model::diff(before, after);
}

TEST(Rights, RegistryThatCannotBeWrittenStillLetsTheFilesMove) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the files to another user";
    Machine machine;
    seed_installable(machine);
    machine.reg_set(model::plugin_key, "DllName", 4, std::string(4, '\0'));
    // The files are the unprivileged user's; the registry database is not.
    fs::permissions(machine.host_root(), fs::perms::others_all, fs::perm_options::add);
    for (const auto& entry : fs::recursive_directory_iterator(machine.host_root() + "/drive_c")) {
        ::chown(entry.path().c_str(), nobody, nobody);
    }
    ::chown((machine.host_root() + "/drive_c").c_str(), nobody, nobody);
    fs::permissions(machine.host_root(), fs::perms::others_write, fs::perm_options::remove);
    Spawn how;
    how.program = tool_for_everyone(machine);
    how.unprivileged = true;
    const model::Snapshot before = model::take(machine);
    EXPECT_EQ(run(how, "-i"), 0);
    model::Snapshot expected = model::apply(before, "-i");
    expected.dll_name = before.dll_name;  // the registration could not be written
    const model::Snapshot after = model::take(machine);
    EXPECT_TRUE(after == expected) << model::diff(expected, after);
}

// ----------------------------------------------------------------- full disk

class FullDisk : public ::testing::Test {
protected:
    Machine machine;
    std::string drive = machine.host_root() + "/drive_c";
    bool mounted = false;
    void TearDown() override {
        if (mounted) ::umount2(drive.c_str(), MNT_DETACH);
    }
};

TEST_F(FullDisk, SmallFileSystemLeavesNoTruncatedLibraryAndALaterInstallCompletes) {
    if (::mount("tmpfs", drive.c_str(), "tmpfs", 0, "size=640k") != 0) {
        GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
    }
    mounted = true;
    seed_installable(machine, 400 * 1024);  // the copy needs 400 KiB more than the disk has
    const std::string library = *machine.read(model::x86_library);

    EXPECT_EQ(run(Spawn{}, "-i"), 0);
    EXPECT_FALSE(machine.exists(model::native_library)) << "no truncated library under the real name";
    EXPECT_TRUE(machine.files_below(model::native_dir + "\\Startmenu").empty()) << "no temporary left";
    EXPECT_TRUE(has_file(machine, model::native_utilities + "\\Corvint.exe", "x86 Corvint.exe"))
        << "the moves, which need no space, happened";
    EXPECT_TRUE(has_file(machine, model::x86_library, library));

    ASSERT_EQ(::mount("tmpfs", drive.c_str(), "tmpfs", MS_REMOUNT, "size=4m"), 0);
    EXPECT_EQ(run(Spawn{}, "-i"), 0);
    EXPECT_TRUE(has_file(machine, model::native_library, library));
}

TEST_F(FullDisk, FileSizeLimitMidCopyLeavesTheOldState) {
    seed_installable(machine, 300 * 1024);
    const model::Snapshot before = model::take(machine);
    Spawn how;
    how.file_size_limit = 100 * 1024;  // the write that crosses 100 KiB fails
    EXPECT_EQ(run(how, "-i"), 0);
    EXPECT_FALSE(machine.exists(model::native_library));
    EXPECT_TRUE(machine.files_below(model::native_dir + "\\Startmenu").empty());
    EXPECT_EQ(run(Spawn{}, "-i"), 0);
    const model::Snapshot after = model::take(machine);
    const model::Snapshot expected = model::apply(model::apply(before, "-i"), "-i");
    EXPECT_TRUE(after == expected) << model::diff(expected, after);
}

// ------------------------------------------------------- registry database

class RegistryDatabase : public ::testing::Test {
protected:
    Machine machine;
    std::string database = machine.host_root() + "/hklm.sqlite";
    void SetUp() override {
        seed_installable(machine);
        machine.reg_set(model::slot_key, "Application", 2, model::sz_bytes(""));
    }
};

TEST_F(RegistryDatabase, LockedByAnotherProcessMeansNoRegistryChangeButFilesMove) {
    const model::Snapshot before = model::take(machine);
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(database.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(run(Spawn{}, "-panelOn"), 0);
    EXPECT_EQ(run(Spawn{}, "-i"), 0);
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);

    model::Snapshot expected = model::apply(before, "-i");
    expected.notify_subkeys = before.notify_subkeys;
    expected.dll_name = before.dll_name;
    const model::Snapshot after = model::take(machine);
    EXPECT_TRUE(after == expected) << model::diff(expected, after);
}

// Another program that writes to the registry for a moment: the tool waits
// for it and then writes all four values, as on a free database.
TEST_F(RegistryDatabase, HeldForAMomentByAnotherWriterEndsAsAFreeDatabaseDoes) {
    const model::Snapshot before = model::take(machine);
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(database.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    const pid_t tool = start(Spawn{}, "-panelOn");
    ::sleep(1);
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    EXPECT_EQ(finish(tool), 0);

    const model::Snapshot expected = model::apply(before, "-panelOn");
    const model::Snapshot after = model::take(machine);
    EXPECT_TRUE(after == expected) << model::diff(expected, after);
}

TEST_F(RegistryDatabase, NotADatabaseIsLeftExactlyAsItWas) {
    const model::Snapshot before = model::take(machine);
    fs::remove(database);
    const std::string garbage = "this is not an SQLite database\n" + std::string(5000, 'g');
    { std::ofstream(database, std::ios::binary) << garbage; }

    for (const char* option : {"-panelOn", "-i", "-panelOff", "-u"}) EXPECT_EQ(run(Spawn{}, option), 0) << option;
    std::ifstream in(database, std::ios::binary);
    const std::string now((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(now, garbage);
    EXPECT_TRUE(has_file(machine, model::x86_utilities + "\\Corvint.exe", "x86 Corvint.exe")) << "-i then -u";
    EXPECT_TRUE(has_file(machine, model::native_library, before.files.at(model::x86_library)));
}

}  // namespace
}  // namespace veltrax
