// Folder paths and the library copy, on the host seam with faults injected.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "platform/fault.h"
#include "platform/platform.h"
#include "relocation/file_ops.h"
#include "tests/support/checks.h"
#include "tests/support/fault_guard.h"
#include "tests/support/machine.h"

namespace veltrax {
namespace {

using platform::fault::Op;
using testing::has_file;
using testing::has_no_file;

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
    return bytes;
}

class FileOps : public ::testing::Test {
protected:
    testing::FaultGuard faults;
    testing::Machine machine;
};

// ------------------------------------------------------- make_directory_path

TEST_F(FileOps, CreatesNestedFoldersBelowAnExistingOne) {
    machine.make_dirs("C:\\base");
    PathBuffer path;
    ASSERT_TRUE(compose_path(path, "C:\\base\\one\\two\\three\\", ""));
    EXPECT_TRUE(make_directory_path(path.data()));
    EXPECT_TRUE(machine.is_dir("C:\\base\\one\\two\\three"));
}

TEST_F(FileOps, TriesEveryPrefixOnceAndTheWholePathLast) {
    char path[] = "C:\\Program Files\\VELTRAX\\Startmenu\\";
    EXPECT_TRUE(make_directory_path(path));
    // "C:", three folders, then the whole text again with its separator.
    EXPECT_EQ(platform::fault::calls(Op::create_directory), 5u);
    EXPECT_TRUE(machine.is_dir("C:\\Program Files\\VELTRAX\\Startmenu"));
}

TEST_F(FileOps, ForwardSlashesWorkLikeBackslashes) {
    char path[] = "C:/fwd/a/b";
    EXPECT_TRUE(make_directory_path(path));
    EXPECT_TRUE(machine.is_dir("C:\\fwd\\a\\b"));
}

TEST_F(FileOps, LeavesTheCallersTextAsItWas) {
    char path[] = "C:\\x/y\\z\\";
    char before[sizeof path];
    std::memcpy(before, path, sizeof path);
    make_directory_path(path);
    EXPECT_EQ(std::memcmp(path, before, sizeof path), 0);
}

TEST_F(FileOps, ExistingPathIsLeftAsItIsAndReportsTrue) {
    machine.write("C:\\have\\it\\file.txt", "f");
    char path[] = "C:\\have\\it";
    EXPECT_TRUE(make_directory_path(path));
    EXPECT_TRUE(has_file(machine, "C:\\have\\it\\file.txt", "f"));
}

TEST_F(FileOps, ReportsFalseWhenTheFolderCannotBeMade) {
    platform::fault::fail_call(Op::create_directory, 1, true);
    char path[] = "C:\\never\\made";
    EXPECT_FALSE(make_directory_path(path));
    EXPECT_FALSE(machine.exists("C:\\never"));
    char empty[] = "";
    EXPECT_FALSE(make_directory_path(empty));
}

TEST_F(FileOps, ComposedPathsThatDoNotFitAreRefusedNotCut) {
    PathBuffer path;
    const std::string long_root = "C:\\" + std::string(300, 'r');
    EXPECT_FALSE(compose_path(path, long_root.c_str(), "\\", "x"));
    EXPECT_STREQ(path.data(), "");
    const std::string exact(255, 'e');
    EXPECT_TRUE(compose_path(path, exact.c_str(), ""));
    EXPECT_FALSE(compose_path(path, exact.c_str(), "e"));
    EXPECT_FALSE(compose_path(path, exact.c_str(), "", "", "e")) << "every part counts";
}

TEST_F(FileOps, ProcessIdsOfAnySizeFormatAsDecimal) {
    for (unsigned long value : {0ul, 7ul, 10ul, 4294967295ul, static_cast<unsigned long>(-1)}) {
        DecimalBuffer digits;
        EXPECT_EQ(format_decimal(value, digits), std::to_string(value));
    }
}

// ----------------------------------------------------------------- copy_file

class CopyFile : public FileOps {
protected:
    const std::string source = "C:\\from\\lib.dll";
    const std::string destination = "C:\\to\\lib.dll";
    void SetUp() override { machine.make_dirs("C:\\to"); }
    void copy() { copy_file(source.c_str(), destination.c_str()); }
    // Nothing but the destination (if any) may be left in its folder.
    ::testing::AssertionResult no_temporary_left() {
        for (const std::string& name : machine.files_below("C:\\to")) {
            if (name != "lib.dll") return ::testing::AssertionFailure() << "left behind: " << name;
        }
        return ::testing::AssertionSuccess();
    }
};

TEST_F(CopyFile, CopiesEveryByteForBlockBoundarySizes) {
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, copy_block_size - 1, copy_block_size,
                             copy_block_size + 1, std::size_t{3} * 1024 * 1024 + 17}) {
        const std::string bytes = random_bytes(size, static_cast<unsigned>(size));
        machine.write(source, bytes);
        platform::fault::clear();
        copy();
        EXPECT_TRUE(has_file(machine, destination, bytes)) << size << " bytes";
        EXPECT_TRUE(has_file(machine, source, bytes)) << "the source stays";
        EXPECT_EQ(platform::fault::calls(Op::write_stream), (size + copy_block_size - 1) / copy_block_size)
            << size << " bytes go in 50 KiB blocks";
        EXPECT_TRUE(no_temporary_left());
    }
}

TEST_F(CopyFile, ReplacesAnExistingDestination) {
    machine.write(source, "new library");
    machine.write(destination, "old library, longer than the new one");
    copy();
    EXPECT_TRUE(has_file(machine, destination, "new library"));
    EXPECT_TRUE(no_temporary_left());
}

TEST_F(CopyFile, MissingSourceTouchesNothing) {
    copy();
    EXPECT_TRUE(has_no_file(machine, destination)) << "an absent destination stays absent";
    machine.write(destination, "precious");
    copy();
    EXPECT_TRUE(has_file(machine, destination, "precious")) << "an existing destination is not truncated";
    EXPECT_EQ(platform::fault::calls(Op::open_stream), 2u) << "only the source was opened, twice";
    EXPECT_TRUE(no_temporary_left());
}

TEST_F(CopyFile, AnyFailedStepLeavesTheDestinationAsItWas) {
    const std::string bytes = random_bytes(3 * copy_block_size + 5, 7);
    machine.write(source, bytes);
    struct Fault {
        Op op;
        unsigned nth;
    };
    const Fault faults_to_try[] = {
        {Op::open_stream, 2},  {Op::allocate, 1},    {Op::read_stream, 1},  {Op::read_stream, 3},
        {Op::write_stream, 1}, {Op::write_stream, 4}, {Op::flush_stream, 1}, {Op::close_stream, 1},
        {Op::replace_file, 1},
    };
    for (const bool existed : {false, true}) {
        for (const Fault& fault : faults_to_try) {
            if (existed) {
                machine.write(destination, "old");
            } else {
                machine.remove_tree(destination);
            }
            platform::fault::clear();
            platform::fault::fail_call(fault.op, fault.nth);
            copy();
            const std::string what = "op " + std::to_string(static_cast<unsigned>(fault.op)) + " call " +
                                     std::to_string(fault.nth) + (existed ? ", over an old file" : "");
            if (existed) {
                EXPECT_TRUE(has_file(machine, destination, "old")) << what;
            } else {
                EXPECT_TRUE(has_no_file(machine, destination)) << what;
            }
            EXPECT_TRUE(no_temporary_left()) << what;
        }
    }
    platform::fault::clear();
    copy();
    EXPECT_TRUE(has_file(machine, destination, bytes)) << "a later copy with nothing failing completes";
}

TEST_F(CopyFile, KilledMidCopyLeavesTheOldDestination) {
    const std::size_t size = 192u * 1024 * 1024;
    {
        const std::string block = random_bytes(1024 * 1024, 3);
        std::string bytes;
        bytes.reserve(size);
        while (bytes.size() < size) bytes += block;
        machine.write(source, bytes);
    }
    machine.write(destination, "old");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        copy();
        ::_exit(0);
    }
    const std::string temporary = machine.host_root() + "/drive_c/to/lib.dll." + std::to_string(child) + ".tmp";
    bool killed_mid_copy = false;
    for (int i = 0; i < 20000 && !killed_mid_copy; ++i) {
        std::error_code ec;
        const auto written = std::filesystem::file_size(temporary, ec);
        if (!ec && written > 0 && written < size) {
            ::kill(child, SIGKILL);
            killed_mid_copy = true;
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(killed_mid_copy) << "the copy finished before it could be interrupted";
    EXPECT_TRUE(has_file(machine, destination, "old"));

    copy();
    const auto copied = machine.read(destination);
    ASSERT_TRUE(copied);
    EXPECT_EQ(copied->size(), size) << "a rerun completes the copy, despite the stale temporary";
}

}  // namespace
}  // namespace veltrax
