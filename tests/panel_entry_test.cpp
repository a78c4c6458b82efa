// The battery-meter routines when the platform refuses one of their steps.
#include <gtest/gtest.h>

#include "platform/fault.h"
#include "platform/platform.h"
#include "registry_settings/panel_entry.h"
#include "tests/support/checks.h"
#include "tests/support/fault_guard.h"
#include "tests/support/machine.h"

namespace veltrax {
namespace {

using platform::fault::Op;
using testing::has_value;
using testing::sz;

class PanelEntryFaults : public ::testing::Test {
protected:
    testing::FaultGuard faults;
    testing::Machine machine;
    void SetUp() override { machine.reg_set(panel_slot_key, "Application", platform::reg_expand_sz, sz("")); }
    std::vector<std::string> names() const { return machine.reg_value_names(panel_slot_key); }
};

TEST_F(PanelEntryFaults, RefusedKeyMeansNothingIsRead) {
    platform::fault::fail_call(Op::create_key, 1);
    enable_panel_entry();
    EXPECT_EQ(platform::fault::calls(Op::query_value), 0u);
    EXPECT_EQ(names(), std::vector<std::string>{"Application"});
}

TEST_F(PanelEntryFaults, FailedReadWritesNothing) {
    platform::fault::fail_call(Op::query_value, 1);
    enable_panel_entry();
    EXPECT_EQ(platform::fault::calls(Op::set_value), 0u);
    EXPECT_EQ(names(), std::vector<std::string>{"Application"});
}

TEST_F(PanelEntryFaults, OneFailedWriteDoesNotStopTheOthers) {
    platform::fault::fail_call(Op::set_value, 1);  // "ItemName"
    enable_panel_entry();
    EXPECT_EQ(platform::fault::calls(Op::set_value), 4u);
    EXPECT_FALSE(machine.reg_get(panel_slot_key, "ItemName"));
    EXPECT_TRUE(has_value(machine, panel_slot_key, "IconID", platform::reg_expand_sz, sz(panel_values[1].on)));
    EXPECT_TRUE(has_value(machine, panel_slot_key, "Parameters", platform::reg_expand_sz, sz("/t:Boot")));
    EXPECT_TRUE(has_value(machine, panel_slot_key, "Application", platform::reg_expand_sz, sz(panel_application_path)));
}

TEST_F(PanelEntryFaults, ApplicationIsWrittenLastSoAnUnfinishedSwitchIsRetried) {
    // The last write fails: the other three are in, the guard is not, so the next run writes all four.
    platform::fault::fail_call(Op::set_value, 4);
    enable_panel_entry();
    EXPECT_TRUE(has_value(machine, panel_slot_key, "Application", platform::reg_expand_sz, sz("")));
    EXPECT_TRUE(has_value(machine, panel_slot_key, "Parameters", platform::reg_expand_sz, sz("/t:Boot")));
    platform::fault::clear();
    enable_panel_entry();
    EXPECT_TRUE(has_value(machine, panel_slot_key, "Application", platform::reg_expand_sz, sz(panel_application_path)));
}

}  // namespace
}  // namespace veltrax
