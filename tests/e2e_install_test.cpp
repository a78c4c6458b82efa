// The real tool's "-i" and "-u", checked file by file and key by key.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/checks.h"
#include "tests/support/machine.h"
#include "tests/support/model.h"

namespace veltrax {
namespace {

using testing::has_file;
using testing::has_no_file;
using testing::has_value;
using testing::Machine;
using testing::sz;

constexpr std::uint32_t reg_sz = 1;
constexpr std::uint32_t reg_dword = 4;

namespace model = testing::model;
const std::string& native_root = model::native_utilities;
const std::string& x86_root = model::x86_utilities;
const std::string& native_library = model::native_library;
const std::string& x86_library = model::x86_library;
const std::string& notify = model::notify_key;
const std::string& plugin = model::plugin_key;
const std::string& dll_path = model::dll_path;
const std::vector<std::string>& languages = model::languages;
using model::utility_files;

// Distinct bytes per file, with NULs and line ends that a text-mode copy would change.
std::string content_of(const std::string& file) { return "MZ\r\n" + file + std::string("\0\x1a\n", 3) + file; }

const std::string library_bytes = std::string("library\0\r\n", 10) + std::string(120000, 'L');

class InstallTest : public ::testing::Test {
protected:
    Machine machine;

    std::uint32_t run(const std::string& option) {
        const testing::RunResult result = machine.run({option});
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
        return result.exit_code;
    }

    void seed_x86() {
        for (const std::string& file : utility_files()) machine.write(x86_root + "\\" + file, content_of(file));
        machine.write(x86_library, library_bytes);
    }

    ::testing::AssertionResult utility_in(const std::string& root) const {
        for (const std::string& file : utility_files()) {
            auto result = has_file(machine, root + "\\" + file, content_of(file));
            if (!result) return result;
        }
        return ::testing::AssertionSuccess();
    }

    ::testing::AssertionResult registered() const {
        if (auto result = has_value(machine, plugin, "DllName", reg_sz, sz(dll_path)); !result) return result;
        if (sz(dll_path).size() != 47) return ::testing::AssertionFailure() << "DllName is not 47 bytes";
        if (machine.reg_value_names(plugin).size() != 1) return ::testing::AssertionFailure() << "extra values";
        return ::testing::AssertionSuccess();
    }
};

TEST_F(InstallTest, InstallMovesEverythingCopiesTheLibraryAndRegisters) {
    seed_x86();
    EXPECT_EQ(run("-i"), 0u);
    EXPECT_TRUE(utility_in(native_root));
    EXPECT_TRUE(machine.files_below(x86_root).empty());
    EXPECT_EQ(machine.dirs_below(x86_root), languages) << "x86 language folders stay, emptied";
    EXPECT_TRUE(has_file(machine, native_library, library_bytes));
    EXPECT_TRUE(has_file(machine, x86_library, library_bytes)) << "the library is copied, not moved";
    EXPECT_EQ(machine.files_below("C:\\Program Files\\VELTRAX\\Startmenu"), std::vector<std::string>{"Orbandisplex.dll"});
    EXPECT_TRUE(registered());
}

TEST_F(InstallTest, InstallWithoutTheX86FolderStillMakesTheNativeOnes) {
    EXPECT_EQ(run("-i"), 0u);
    EXPECT_EQ(machine.dirs_below(native_root), languages);
    EXPECT_TRUE(machine.files_below(native_root).empty());
    EXPECT_TRUE(machine.is_dir("C:\\Program Files\\VELTRAX\\Startmenu"));
    EXPECT_TRUE(has_no_file(machine, native_library)) << "no empty library stands in for a missing one";
    EXPECT_TRUE(registered());

    machine.write(x86_library, library_bytes);
    EXPECT_EQ(run("-i"), 0u);
    EXPECT_TRUE(has_file(machine, native_library, library_bytes)) << "a later install copies it";
}

TEST_F(InstallTest, InstallTwiceChangesNothingMore) {
    seed_x86();
    EXPECT_EQ(run("-i"), 0u);
    EXPECT_EQ(run("-i"), 0u);
    EXPECT_TRUE(utility_in(native_root));
    EXPECT_TRUE(machine.files_below(x86_root).empty());
    EXPECT_TRUE(has_file(machine, native_library, library_bytes));
    EXPECT_TRUE(registered());
}

TEST_F(InstallTest, ExistingNativeLibraryIsNeverOverwritten) {
    seed_x86();
    machine.write(native_library, "customised");
    EXPECT_EQ(run("-i"), 0u);
    EXPECT_TRUE(has_file(machine, native_library, "customised"));
    EXPECT_TRUE(has_file(machine, x86_library, library_bytes));
}

TEST_F(InstallTest, NativeFilesAlreadyThereAreKeptAndTheirX86TwinsStay) {
    seed_x86();
    machine.write(native_root + "\\Corvint.exe", "newer exe");
    EXPECT_EQ(run("-i"), 0u);
    EXPECT_TRUE(has_file(machine, native_root + "\\Corvint.exe", "newer exe"));
    EXPECT_TRUE(has_file(machine, x86_root + "\\Corvint.exe", content_of("Corvint.exe")));
    EXPECT_TRUE(has_file(machine, native_root + "\\Corvint.dll", content_of("Corvint.dll")));
}

TEST_F(InstallTest, UninstallAfterInstallPutsEverythingBack) {
    seed_x86();
    machine.reg_set(notify + "\\{00000000-other-plugin}", "DllName", reg_sz, sz("C:\\other.dll"));
    EXPECT_EQ(run("-i"), 0u);
    EXPECT_EQ(run("-u"), 0u);

    EXPECT_TRUE(utility_in(x86_root));
    EXPECT_TRUE(machine.dirs_below(native_root).empty()) << "native language folders are removed";
    EXPECT_TRUE(machine.is_dir(native_root)) << "the native Utilities folder stays";
    EXPECT_TRUE(has_file(machine, native_library, library_bytes)) << "the library copy stays";
    EXPECT_TRUE(has_file(machine, x86_library, library_bytes));

    EXPECT_FALSE(machine.reg_key_exists(plugin));
    EXPECT_TRUE(machine.reg_key_exists(notify)) << "parent keys stay";
    EXPECT_TRUE(has_value(machine, notify + "\\{00000000-other-plugin}", "DllName", reg_sz, sz("C:\\other.dll")));
}

TEST_F(InstallTest, UninstallKeepsLanguageFoldersThatHoldOtherFiles) {
    seed_x86();
    EXPECT_EQ(run("-i"), 0u);
    machine.write(native_root + "\\KO-KR\\notes.txt", "user notes");
    EXPECT_EQ(run("-u"), 0u);
    EXPECT_EQ(machine.dirs_below(native_root), std::vector<std::string>{"KO-KR"});
    EXPECT_TRUE(has_file(machine, native_root + "\\KO-KR\\notes.txt", "user notes"));
    EXPECT_TRUE(utility_in(x86_root));
}

TEST_F(InstallTest, UninstallWhereInstallNeverRanMakesTheX86FoldersOnly) {
    EXPECT_EQ(run("-u"), 0u);
    EXPECT_EQ(machine.dirs_below(x86_root), languages);
    EXPECT_TRUE(machine.files_below(x86_root).empty());
    EXPECT_FALSE(machine.reg_key_exists(notify)) << "nothing is created in the registry";
}

TEST_F(InstallTest, RegistrationReplacesAnOldValueOfAnyTypeAndMatchesKeysInAnyCase) {
    const std::string other_case = "SOFTWARE\\VELTRAX\\glimmertab\\NOTIFY\\{7c3a91e4-2b58-4F1D-a6c0-93e5d17b2f08}";
    machine.reg_set(other_case, "DllName", reg_dword, std::string("\x01\0\0\0", 4));
    EXPECT_EQ(run("-i"), 0u);
    EXPECT_TRUE(registered());
    EXPECT_EQ(machine.reg_subkeys(notify).size(), 1u) << "the existing key is reused, whatever its case";

    EXPECT_EQ(run("-u"), 0u);
    EXPECT_TRUE(machine.reg_subkeys(notify).empty());
    EXPECT_TRUE(machine.reg_key_exists(notify));
}

TEST_F(InstallTest, UninstallLeavesAPluginKeyWithSubKeys) {
    machine.reg_create(plugin + "\\child");
    EXPECT_EQ(run("-u"), 0u);
    EXPECT_TRUE(machine.reg_key_exists(plugin + "\\child"));
}

TEST_F(InstallTest, InstallOptionWithAnExtraArgumentDoesNothing) {
    seed_x86();
    EXPECT_EQ(run("-I"), testing::unrecognised_exit_status());
    EXPECT_EQ(machine.run({"-i", "-u"}).exit_code, testing::unrecognised_exit_status());
    EXPECT_TRUE(utility_in(x86_root));
    EXPECT_FALSE(machine.exists("C:\\Program Files\\VELTRAX"));
    EXPECT_FALSE(machine.reg_key_exists(notify));
}

}  // namespace
}  // namespace veltrax
