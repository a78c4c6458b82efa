// The install and uninstall sequences go on past every failed step.
#include <gtest/gtest.h>

#include "app/install.h"
#include "platform/fault.h"
#include "platform/platform.h"
#include "registry_settings/notify_plugin.h"
#include "tests/support/checks.h"
#include "tests/support/fault_guard.h"
#include "tests/support/machine.h"

namespace veltrax {
namespace {

using platform::fault::Op;
using testing::has_file;
using testing::has_value;
using testing::sz;

class Sequence : public ::testing::Test {
protected:
    testing::FaultGuard faults;
    testing::Machine machine;
};

TEST_F(Sequence, InstallRegistersEvenWhenNoFileCanBeTouched) {
    machine.write(std::string(x86_utilities_root) + "\\Corvint.exe", "exe");
    machine.write(x86_startmenu_library, "lib");
    platform::fault::fail_call(Op::create_directory, 1, true);
    platform::fault::fail_call(Op::rename_file, 1, true);
    platform::fault::fail_call(Op::open_stream, 1, true);
    run_install();
    EXPECT_TRUE(has_file(machine, std::string(x86_utilities_root) + "\\Corvint.exe", "exe"));
    EXPECT_FALSE(machine.exists(native_startmenu_library));
    EXPECT_TRUE(has_value(machine, notify_plugin_key, "DllName", platform::reg_sz, sz(notify_dll_path)));
}

TEST_F(Sequence, InstallCopiesTheLibraryWhenTheRegistryRefuses) {
    machine.write(x86_startmenu_library, "lib");
    platform::fault::fail_call(Op::create_key, 1, true);
    run_install();
    EXPECT_TRUE(has_file(machine, native_startmenu_library, "lib"));
    EXPECT_FALSE(machine.reg_key_exists(notify_plugin_key));
}

TEST_F(Sequence, ReadableNativeLibraryIsOnlyOpenedForReading) {
    machine.write(x86_startmenu_library, "x86 lib");
    machine.write(native_startmenu_library, "native lib");
    run_install();
    EXPECT_EQ(platform::fault::calls(Op::open_stream), 1u);
    EXPECT_TRUE(has_file(machine, native_startmenu_library, "native lib"));
}

TEST_F(Sequence, UninstallMovesBackWhenTheRegistryRefuses) {
    machine.write(std::string(native_utilities_root) + "\\Corvint.dll", "dll");
    run_install();  // registers
    platform::fault::fail_call(Op::open_key, 1, true);
    run_uninstall();
    EXPECT_TRUE(has_file(machine, std::string(x86_utilities_root) + "\\Corvint.dll", "dll"));
    EXPECT_TRUE(machine.reg_key_exists(notify_plugin_key));
}

TEST_F(Sequence, UninstallUnregistersWhenNothingCanBeMoved) {
    run_install();
    machine.write(std::string(native_utilities_root) + "\\Corvint.dll", "dll");
    platform::fault::fail_call(Op::rename_file, 1, true);
    platform::fault::fail_call(Op::remove_directory, 1, true);
    run_uninstall();
    EXPECT_TRUE(has_file(machine, std::string(native_utilities_root) + "\\Corvint.dll", "dll"));
    EXPECT_EQ(machine.dirs_below(native_utilities_root).size(), 21u);
    EXPECT_FALSE(machine.reg_key_exists(notify_plugin_key));
    EXPECT_TRUE(machine.reg_key_exists(notify_parent_key));
}

TEST_F(Sequence, RegistrationThatCannotStoreItsValueIsLeftForTheNextRun) {
    platform::fault::fail_call(Op::set_value, 1);
    register_notify_plugin();
    EXPECT_FALSE(machine.reg_get(notify_plugin_key, "DllName"));
    register_notify_plugin();
    EXPECT_TRUE(has_value(machine, notify_plugin_key, "DllName", platform::reg_sz, sz(notify_dll_path)));
}

}  // namespace
}  // namespace veltrax
