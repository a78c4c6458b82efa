// What the tool's logic relies on from each platform operation, checked on
// whichever implementation this program is built with: natively for Linux,
// under Wine for Windows.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "tests/support/checks.h"
#include "tests/support/machine.h"

namespace veltrax {
namespace {

using testing::has_file;
using testing::Machine;

class SeamTest : public ::testing::Test {
protected:
    Machine machine;
    std::string dir = machine.scratch_dir();
    std::string key = machine.scratch_key();
    std::string at(const std::string& name) const { return dir + "\\" + name; }
};

TEST_F(SeamTest, CreateDirectoryMakesOneLevelOnly) {
    EXPECT_TRUE(platform::create_directory(at("one").c_str()));
    EXPECT_TRUE(machine.is_dir(at("one")));
    EXPECT_FALSE(platform::create_directory(at("one").c_str())) << "an existing folder is not created again";
    EXPECT_FALSE(platform::create_directory(at("missing\\two").c_str())) << "parent does not exist";
    EXPECT_FALSE(machine.exists(at("missing")));
}

TEST_F(SeamTest, CreateDirectoryAcceptsTrailingSeparatorAndForwardSlashes) {
    EXPECT_TRUE(platform::create_directory(at("trail\\").c_str()));
    EXPECT_TRUE(machine.is_dir(at("trail")));
    EXPECT_TRUE(platform::create_directory((dir + "/forward").c_str()));
    EXPECT_TRUE(machine.is_dir(at("forward")));
}

TEST_F(SeamTest, DriveItselfIsNeverCreatedButExists) {
    EXPECT_FALSE(platform::create_directory("C:"));
    EXPECT_TRUE(platform::path_exists("C:"));
    EXPECT_TRUE(platform::path_exists("C:\\"));
}

TEST_F(SeamTest, PathExistsSeesFilesAndFolders) {
    machine.write(at("file.bin"), "x");
    EXPECT_TRUE(platform::path_exists(at("file.bin").c_str()));
    EXPECT_TRUE(platform::path_exists(dir.c_str()));
    EXPECT_TRUE(platform::path_exists((dir + "\\").c_str()));
    EXPECT_FALSE(platform::path_exists(at("nothing").c_str()));
}

TEST_F(SeamTest, RemoveDirectoryOnlyWhenEmpty) {
    machine.write(at("full\\keep.txt"), "keep");
    machine.make_dirs(at("empty"));
    EXPECT_FALSE(platform::remove_directory(at("full").c_str()));
    EXPECT_TRUE(has_file(machine, at("full\\keep.txt"), "keep"));
    EXPECT_TRUE(platform::remove_directory(at("empty").c_str()));
    EXPECT_FALSE(machine.exists(at("empty")));
    EXPECT_FALSE(platform::remove_directory(at("empty").c_str()));
}

TEST_F(SeamTest, RenameMovesButNeverReplaces) {
    machine.write(at("a"), "alpha");
    machine.write(at("b"), "beta");
    EXPECT_FALSE(platform::rename_file(at("a").c_str(), at("b").c_str()));
    EXPECT_TRUE(has_file(machine, at("a"), "alpha"));
    EXPECT_TRUE(has_file(machine, at("b"), "beta"));

    machine.make_dirs(at("sub"));
    EXPECT_TRUE(platform::rename_file(at("a").c_str(), at("sub\\a").c_str()));
    EXPECT_FALSE(machine.exists(at("a")));
    EXPECT_TRUE(has_file(machine, at("sub\\a"), "alpha"));

    EXPECT_FALSE(platform::rename_file(at("gone").c_str(), at("c").c_str()));
    EXPECT_FALSE(machine.exists(at("c")));
    EXPECT_FALSE(platform::rename_file(at("b").c_str(), at("nowhere\\b").c_str()));
    EXPECT_TRUE(has_file(machine, at("b"), "beta"));
}

TEST_F(SeamTest, ReplaceOverwritesAtomically) {
    machine.write(at("new"), "new bytes");
    machine.write(at("old"), "old");
    EXPECT_TRUE(platform::replace_file(at("new").c_str(), at("old").c_str()));
    EXPECT_TRUE(has_file(machine, at("old"), "new bytes"));
    EXPECT_FALSE(machine.exists(at("new")));
    machine.write(at("fresh"), "f");
    EXPECT_TRUE(platform::replace_file(at("fresh").c_str(), at("absent").c_str()));
    EXPECT_TRUE(has_file(machine, at("absent"), "f"));
}

TEST_F(SeamTest, RemoveFile) {
    machine.write(at("doomed"), "d");
    EXPECT_TRUE(platform::remove_file(at("doomed").c_str()));
    EXPECT_FALSE(machine.exists(at("doomed")));
    EXPECT_FALSE(platform::remove_file(at("doomed").c_str()));
}

TEST_F(SeamTest, StreamsReadWriteFlushAndClose) {
    {
        platform::Stream out = platform::open_stream(at("s.bin").c_str(), "wb");
        ASSERT_TRUE(out);
        const std::string bytes("a\0b\r\nc", 6);
        EXPECT_EQ(platform::write_stream(out, bytes.data(), bytes.size()), bytes.size());
        EXPECT_TRUE(platform::flush_stream_to_disk(out));
        EXPECT_FALSE(platform::stream_failed(out));
        EXPECT_TRUE(platform::close_stream(out));
        EXPECT_FALSE(out);
    }
    EXPECT_TRUE(has_file(machine, at("s.bin"), std::string("a\0b\r\nc", 6))) << "binary mode keeps every byte";

    platform::Stream in = platform::open_stream(at("s.bin").c_str(), "rb");
    ASSERT_TRUE(in);
    char buffer[16] = {};
    EXPECT_EQ(platform::read_stream(in, buffer, sizeof buffer), 6u);
    EXPECT_EQ(platform::read_stream(in, buffer, sizeof buffer), 0u);
    EXPECT_FALSE(platform::stream_failed(in)) << "end of file is not a failure";
}

TEST_F(SeamTest, OpenForWritingTruncatesAndOpenForReadingNeedsAFile) {
    machine.write(at("t"), "long old content");
    { platform::Stream out = platform::open_stream(at("t").c_str(), "wb"); ASSERT_TRUE(out); }
    EXPECT_TRUE(has_file(machine, at("t"), ""));
    EXPECT_FALSE(platform::open_stream(at("none").c_str(), "rb"));
    EXPECT_FALSE(platform::open_stream(dir.c_str(), "rb")) << "a folder is not a file";
    EXPECT_FALSE(platform::open_stream(at("no\\such\\dir.bin").c_str(), "wb"));
}

TEST_F(SeamTest, AllocateGivesAUsableBlock) {
    const platform::Buffer buffer = platform::allocate(51200);
    ASSERT_TRUE(buffer);
    std::memset(buffer.data(), 0xAB, buffer.size());
    EXPECT_EQ(buffer.size(), 51200u);
}

TEST_F(SeamTest, CreateKeyMakesParentsAndOpenNeedsAnExistingKey) {
    EXPECT_FALSE(platform::open_key((key + "\\a\\b").c_str()));
    {
        const platform::Key created = platform::create_key((key + "\\a\\b").c_str());
        ASSERT_TRUE(created);
    }
    EXPECT_TRUE(machine.reg_key_exists(key + "\\a"));
    EXPECT_TRUE(machine.reg_key_exists(key + "\\a\\b"));
    EXPECT_TRUE(platform::open_key((key + "\\a\\b").c_str()));
    EXPECT_TRUE(platform::create_key((key + "\\a\\b").c_str())) << "creating an existing key opens it";
}

TEST_F(SeamTest, KeyAndValueNamesIgnoreCaseAndKeepTheirOwn) {
    {
        const platform::Key created = platform::create_key((key + "\\MixedCase").c_str());
        ASSERT_TRUE(created);
        EXPECT_TRUE(platform::set_value(created, "Value", platform::reg_sz, "x", 2));
    }
    const platform::Key opened = platform::open_key((key + "\\MIXEDCASE").c_str());
    ASSERT_TRUE(opened);
    char buffer[8] = {};
    std::uint32_t size = sizeof buffer;
    EXPECT_EQ(platform::query_value(opened, "vALUE", buffer, &size), platform::QueryResult::ok);
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(machine.reg_subkeys(key), std::vector<std::string>{"MixedCase"});

    // Writing an existing value under another spelling replaces its data, not its name.
    EXPECT_TRUE(platform::set_value(opened, "VALUE", platform::reg_dword, "\x01\0\0\0", 4));
    EXPECT_EQ(machine.reg_value_names(key + "\\MixedCase"), std::vector<std::string>{"Value"});
    EXPECT_TRUE(testing::has_value(machine, key + "\\MixedCase", "Value", platform::reg_dword, std::string("\x01\0\0\0", 4)));
}

TEST_F(SeamTest, SetValueStoresExactTypeAndBytesReplacingOldOnes) {
    const platform::Key created = platform::create_key(key.c_str());
    ASSERT_TRUE(created);
    EXPECT_TRUE(platform::set_value(created, "v", platform::reg_dword, "\x01\x02\x03\x04", 4));
    EXPECT_TRUE(testing::has_value(machine, key, "v", platform::reg_dword, "\x01\x02\x03\x04"));
    EXPECT_TRUE(platform::set_value(created, "v", platform::reg_expand_sz, "", 1));
    EXPECT_TRUE(testing::has_value(machine, key, "v", platform::reg_expand_sz, std::string(1, '\0')));
}

TEST_F(SeamTest, QueryTellsMissingFromTooLargeAndNeverWritesPastTheOffer) {
    constexpr std::uint32_t offer = 512;
    const platform::Key created = platform::create_key(key.c_str());
    ASSERT_TRUE(created);
    struct Case {
        std::size_t length;
        platform::QueryResult result;
    };
    for (const Case& c : {Case{offer - 1, platform::QueryResult::ok}, Case{offer, platform::QueryResult::ok},
                          Case{offer + 1, platform::QueryResult::too_large}, Case{600, platform::QueryResult::too_large}}) {
        SCOPED_TRACE("a value of " + std::to_string(c.length) + " bytes");
        const std::string data = std::string(c.length - 1, 'x') + '\0';
        machine.reg_set(key, "v", platform::reg_sz, data);
        char buffer[offer + 8];
        std::memset(buffer, 0x55, sizeof buffer);
        std::uint32_t size = offer;
        ASSERT_EQ(platform::query_value(created, "v", buffer, &size), c.result);
        if (c.result == platform::QueryResult::ok) {
            EXPECT_EQ(size, c.length);
            EXPECT_EQ(std::string(buffer, size), data);
        }
        for (std::size_t i = offer; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 0x55) << "byte " << i << " overwritten";
    }
    std::uint32_t size = offer;
    char buffer[offer];
    EXPECT_EQ(platform::query_value(created, "absent", buffer, &size), platform::QueryResult::no_value);
}

TEST_F(SeamTest, DeleteKeyRefusesKeysWithSubKeys) {
    machine.reg_create(key + "\\parent\\child");
    machine.reg_set(key + "\\parent\\leaf", "v", platform::reg_sz, testing::sz("x"));
    const platform::Key root = platform::open_key(key.c_str());
    ASSERT_TRUE(root);
    EXPECT_FALSE(platform::delete_key(root, "parent"));
    EXPECT_TRUE(machine.reg_key_exists(key + "\\parent\\child"));

    const platform::Key parent = platform::open_key((key + "\\parent").c_str());
    ASSERT_TRUE(parent);
    EXPECT_TRUE(platform::delete_key(parent, "LEAF")) << "names match in any case";
    EXPECT_FALSE(machine.reg_key_exists(key + "\\parent\\leaf"));
    EXPECT_TRUE(machine.reg_key_exists(key + "\\parent\\child"));
    EXPECT_FALSE(platform::delete_key(parent, "leaf")) << "already gone";
}

#if !defined(_WIN32)
// How the Linux build maps Windows paths onto its machine folder.

TEST_F(SeamTest, OnlyAbsolutePathsOnDriveCMapAndNothingEscapesTheMachine) {
    machine.write("C:\\inside.txt", "in");
    EXPECT_TRUE(platform::path_exists("c:\\inside.txt")) << "the drive letter matches in either case";
    EXPECT_FALSE(platform::path_exists("D:\\inside.txt"));
    EXPECT_FALSE(platform::path_exists("C:inside.txt")) << "drive-relative";
    EXPECT_FALSE(platform::path_exists("inside.txt"));
    EXPECT_FALSE(platform::path_exists("C:\\scratch\\..\\inside.txt"));
    EXPECT_FALSE(platform::create_directory("C:\\..\\escaped"));
    EXPECT_FALSE(platform::open_stream("C:\\..\\hklm.sqlite", "rb"));
}

TEST_F(SeamTest, MachineWithoutDriveCHasNoFilesAtAll) {
    machine.remove_tree("C:\\");
    EXPECT_FALSE(platform::path_exists("C:"));
    EXPECT_FALSE(platform::create_directory("C:"));
    EXPECT_FALSE(platform::create_directory("C:\\"));
    EXPECT_FALSE(platform::create_directory("C:\\Program Files"));
    EXPECT_FALSE(platform::open_stream("C:\\file", "wb"));
    EXPECT_FALSE(std::filesystem::exists(machine.host_root() + "/drive_c"));
}
#endif

}  // namespace
}  // namespace veltrax
