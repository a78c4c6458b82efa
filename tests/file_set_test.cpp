// Moving the utility's 23 files between two roots on the host seam.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/fault.h"
#include "relocation/file_set.h"
#include "tests/support/checks.h"
#include "tests/support/fault_guard.h"
#include "tests/support/machine.h"

namespace veltrax {
namespace {

using platform::fault::Op;
using testing::has_file;
using testing::has_no_file;

const std::string from_root = "C:\\Program Files (x86)\\VELTRAX\\Utilities";
const std::string to_root = "C:\\Program Files\\VELTRAX\\Utilities";

std::string content_of(const char* entry) { return std::string("bytes of ") + entry; }

std::string language_folder(const char* entry) {
    const std::string text = entry;
    return text.substr(0, text.find('\\'));
}

class FileSet : public ::testing::Test {
protected:
    testing::FaultGuard faults;
    testing::Machine machine;

    void seed(const std::string& root) {
        for (const char* entry : relocated_file_set) machine.write(root + "\\" + entry, content_of(entry));
    }
};

TEST_F(FileSet, MovesEveryFileAndKeepsTheSourceFolders) {
    seed(from_root);
    move_file_set(from_root.c_str(), to_root.c_str());
    for (const char* entry : relocated_file_set) {
        EXPECT_TRUE(has_file(machine, to_root + "\\" + entry, content_of(entry)));
        EXPECT_TRUE(has_no_file(machine, from_root + "\\" + entry));
    }
    EXPECT_TRUE(machine.files_below(from_root).empty());
    EXPECT_EQ(machine.dirs_below(from_root).size(), 21u) << "the source language folders stay, empty";
}

TEST_F(FileSet, TableHoldsTheExecutableTheLibraryAndOneFilePerLanguage) {
    EXPECT_STREQ(relocated_file_set[0], "Corvint.exe");
    EXPECT_STREQ(relocated_file_set[1], "Corvint.dll");
    std::set<std::string> languages;
    for (std::size_t i = 2; i < relocated_file_set.size(); ++i) {
        const std::string entry = relocated_file_set[i];
        EXPECT_EQ(entry.substr(entry.size() - 16), std::string("\\") + language_marker) << entry;
        languages.insert(language_folder(relocated_file_set[i]));
    }
    EXPECT_EQ(languages.size(), 21u);
}

TEST_F(FileSet, ExistingDestinationIsNeverOverwritten) {
    seed(from_root);
    machine.write(to_root + "\\Corvint.dll", "native dll");
    machine.write(to_root + "\\DE-DE\\corvint.dll.mui", "native german");
    move_file_set(from_root.c_str(), to_root.c_str());
    EXPECT_TRUE(has_file(machine, to_root + "\\Corvint.dll", "native dll"));
    EXPECT_TRUE(has_file(machine, from_root + "\\Corvint.dll", content_of("Corvint.dll")));
    EXPECT_TRUE(has_file(machine, to_root + "\\DE-DE\\corvint.dll.mui", "native german"));
    EXPECT_TRUE(has_file(machine, from_root + "\\DE-DE\\corvint.dll.mui", content_of("DE-DE\\corvint.dll.mui")));
    EXPECT_TRUE(has_file(machine, to_root + "\\Corvint.exe", content_of("Corvint.exe"))) << "the others move";
    EXPECT_TRUE(has_file(machine, to_root + "\\ZH-CN\\corvint.dll.mui", content_of("ZH-CN\\corvint.dll.mui")));
}

TEST_F(FileSet, PartialSourceMovesWhatIsThereAndMakesEveryFolder) {
    machine.write(from_root + "\\Corvint.exe", "exe");
    machine.write(from_root + "\\FR-FR\\corvint.dll.mui", "fr");
    move_file_set(from_root.c_str(), to_root.c_str());
    EXPECT_TRUE(has_file(machine, to_root + "\\Corvint.exe", "exe"));
    EXPECT_TRUE(has_file(machine, to_root + "\\FR-FR\\corvint.dll.mui", "fr"));
    EXPECT_EQ(machine.files_below(to_root).size(), 2u);
    EXPECT_EQ(machine.dirs_below(to_root).size(), 21u) << "every language folder is made before its move";
}

TEST_F(FileSet, MissingRootsAreCreatedAndNothingMoves) {
    move_file_set(from_root.c_str(), to_root.c_str());
    EXPECT_TRUE(machine.is_dir(to_root));
    EXPECT_EQ(machine.dirs_below(to_root).size(), 21u);
    EXPECT_TRUE(machine.files_below(to_root).empty());
    EXPECT_FALSE(machine.exists(from_root)) << "the source side is never created";
}

TEST_F(FileSet, EveryEntryIsTriedWhateverBecameOfTheOnesBefore) {
    seed(from_root);
    platform::fault::fail_call(Op::rename_file, 1);
    platform::fault::fail_call(Op::create_directory, 1, true);  // no folder can be made at all
    move_file_set(from_root.c_str(), to_root.c_str());
    EXPECT_EQ(platform::fault::calls(Op::rename_file), 23u);
    for (const char* entry : relocated_file_set) {
        EXPECT_TRUE(has_file(machine, from_root + "\\" + entry, content_of(entry))) << "nothing lost: " << entry;
    }
}

TEST_F(FileSet, RootsTooLongForAPathBufferAreNotAttempted) {
    const std::string long_root = "C:\\" + std::string(250, 'l');
    move_file_set(long_root.c_str(), to_root.c_str());
    move_file_set(to_root.c_str(), long_root.c_str());
    remove_language_dirs(long_root.c_str());
    EXPECT_EQ(platform::fault::calls(Op::rename_file), 0u);
    EXPECT_EQ(platform::fault::calls(Op::remove_directory), 0u);
}

TEST_F(FileSet, RemoveLanguageDirsTakesOnlyEmptyLanguageFolders) {
    seed(to_root);
    move_file_set(to_root.c_str(), from_root.c_str());
    machine.write(to_root + "\\JA-JP\\extra.txt", "user file");
    machine.write(to_root + "\\Corvint.exe", "another exe");
    machine.make_dirs(to_root + "\\Other");
    remove_language_dirs(to_root.c_str());
    EXPECT_EQ(machine.dirs_below(to_root), (std::vector<std::string>{"JA-JP", "Other"}));
    EXPECT_TRUE(has_file(machine, to_root + "\\JA-JP\\extra.txt", "user file"));
    EXPECT_TRUE(has_file(machine, to_root + "\\Corvint.exe", "another exe"));
    EXPECT_TRUE(machine.is_dir(to_root)) << "the root stays";
    EXPECT_EQ(platform::fault::calls(Op::remove_directory), 21u);
}

TEST_F(FileSet, MovingThereAndBackRestoresEveryByte) {
    seed(from_root);
    move_file_set(from_root.c_str(), to_root.c_str());
    move_file_set(to_root.c_str(), from_root.c_str());
    for (const char* entry : relocated_file_set) {
        EXPECT_TRUE(has_file(machine, from_root + "\\" + entry, content_of(entry)));
    }
    EXPECT_TRUE(machine.files_below(to_root).empty());
}

}  // namespace
}  // namespace veltrax
