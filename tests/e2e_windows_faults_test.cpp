// Faults that only Windows can stage, on the real exe: files held open by
// another program, read-only files in the way.
#include <windows.h>

#include <gtest/gtest.h>

#include "tests/support/checks.h"
#include "tests/support/machine.h"
#include "tests/support/model.h"

namespace veltrax {
namespace {

namespace model = testing::model;
using testing::has_file;
using testing::has_no_file;
using testing::Machine;

// Another program's open handle on a file, shared with nobody.
class HeldOpen {
public:
    explicit HeldOpen(const std::string& path)
        : handle_(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {}
    ~HeldOpen() { release(); }
    HeldOpen(const HeldOpen&) = delete;
    HeldOpen& operator=(const HeldOpen&) = delete;
    bool held() const { return handle_ != INVALID_HANDLE_VALUE; }
    void release() {
        if (held()) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle_;
};

class WindowsFaults : public ::testing::Test {
protected:
    Machine machine;
    const std::string library = std::string(70000, 'L') + "library";

    void SetUp() override {
        for (const std::string& file : model::utility_files()) {
            machine.write(model::x86_utilities + "\\" + file, "x86 " + file);
        }
        machine.write(model::x86_library, library);
    }
    std::uint32_t run(const char* option) { return machine.run({option}).exit_code; }
};

TEST_F(WindowsFaults, ReadOnlyFileInTheWayIsNeitherReplacedNorLost) {
    machine.write(model::native_utilities + "\\Corvint.exe", "native exe");
    SetFileAttributesA((model::native_utilities + "\\Corvint.exe").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesA((model::x86_utilities + "\\Corvint.dll").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(run("-i"), 0u);
    EXPECT_TRUE(has_file(machine, model::native_utilities + "\\Corvint.exe", "native exe"));
    EXPECT_TRUE(has_file(machine, model::x86_utilities + "\\Corvint.exe", "x86 Corvint.exe"));
    EXPECT_TRUE(has_file(machine, model::native_utilities + "\\Corvint.dll", "x86 Corvint.dll"))
        << "a read-only file moves like any other";
}

TEST_F(WindowsFaults, SourceLibraryHeldOpenCreatesNothingUntilItIsFree) {
    HeldOpen holder(model::x86_library);
    ASSERT_TRUE(holder.held());
    EXPECT_EQ(run("-i"), 0u);
    EXPECT_TRUE(has_no_file(machine, model::native_library));
    EXPECT_TRUE(machine.files_below(model::native_dir + "\\Startmenu").empty()) << "no temporary left";
    EXPECT_TRUE(has_file(machine, model::native_utilities + "\\Corvint.exe", "x86 Corvint.exe"));

    holder.release();
    EXPECT_EQ(run("-i"), 0u);
    EXPECT_TRUE(has_file(machine, model::native_library, library));
}

TEST_F(WindowsFaults, NativeLibraryHeldOpenIsNeverReplaced) {
    machine.write(model::native_library, "in use");
    {
        HeldOpen holder(model::native_library);
        ASSERT_TRUE(holder.held());
        EXPECT_EQ(run("-i"), 0u);
        EXPECT_EQ(machine.files_below(model::native_dir + "\\Startmenu"), std::vector<std::string>{"Orbandisplex.dll"})
            << "no temporary left";
    }
    EXPECT_TRUE(has_file(machine, model::native_library, "in use"));
}

TEST_F(WindowsFaults, UtilityFileHeldOpenStaysAndTheRestMove) {
    HeldOpen holder(model::x86_utilities + "\\DE-DE\\corvint.dll.mui");
    ASSERT_TRUE(holder.held());
    EXPECT_EQ(run("-i"), 0u);
    holder.release();
    EXPECT_TRUE(has_file(machine, model::x86_utilities + "\\DE-DE\\corvint.dll.mui", "x86 DE-DE\\corvint.dll.mui"));
    EXPECT_TRUE(has_no_file(machine, model::native_utilities + "\\DE-DE\\corvint.dll.mui"));
    EXPECT_TRUE(has_file(machine, model::native_utilities + "\\FR-FR\\corvint.dll.mui", "x86 FR-FR\\corvint.dll.mui"));

    EXPECT_EQ(run("-i"), 0u);
    EXPECT_TRUE(has_file(machine, model::native_utilities + "\\DE-DE\\corvint.dll.mui", "x86 DE-DE\\corvint.dll.mui"))
        << "a later run moves it";
}

TEST_F(WindowsFaults, RegistryValuesOfTheWrongTypeAreHandledByTheirBytes) {
    machine.reg_set(model::plugin_key, "DllName", REG_BINARY, std::string("\x01\x02", 2));
    machine.reg_set(model::slot_key, "Application", REG_BINARY, std::string("\0\0\0", 3));
    EXPECT_EQ(run("-i"), 0u);
    EXPECT_EQ(run("-panelOn"), 0u);
    EXPECT_TRUE(testing::has_value(machine, model::plugin_key, "DllName", REG_SZ, model::sz_bytes(model::dll_path)));
    EXPECT_TRUE(testing::has_value(machine, model::slot_key, "Application", REG_EXPAND_SZ,
                                   model::sz_bytes(model::utility_exe)));
}

}  // namespace
}  // namespace veltrax
