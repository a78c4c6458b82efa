// The real tool, run as a separate process: the command-line contract and the
// battery-meter slot, checked through the machine's own registry.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "tests/support/checks.h"
#include "tests/support/machine.h"
#include "tests/support/model.h"

namespace veltrax {
namespace {

using testing::has_value;
using testing::Machine;
using testing::sz;

constexpr std::uint32_t reg_sz = 1;
constexpr std::uint32_t reg_expand_sz = 2;
constexpr std::uint32_t reg_dword = 4;

const std::string& slot = testing::model::slot_key;
const std::string& utility_exe = testing::model::utility_exe;

struct SlotValues {
    std::string application, item_name, icon_id, parameters;
};
const SlotValues filled{utility_exe, "@C:\\Program Files\\VELTRAX\\Utilities\\Corvint.dll,-201",
                        "@C:\\Program Files\\VELTRAX\\Utilities\\Corvint.exe,-10003", "/t:Boot"};
const SlotValues emptied{"", "", "", ""};

::testing::AssertionResult slot_holds(const Machine& m, const SlotValues& v) {
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Application", v.application}, {"ItemName", v.item_name}, {"IconID", v.icon_id}, {"Parameters", v.parameters}};
    for (const auto& [name, text] : expected) {
        auto result = has_value(m, slot, name, reg_expand_sz, sz(text));
        if (!result) return result;
    }
    return ::testing::AssertionSuccess();
}

class ToolTest : public ::testing::Test {
protected:
    Machine machine;

    // Runs the tool and checks the contract every run keeps: it prints nothing.
    std::uint32_t run(const std::vector<std::string>& args) {
        const testing::RunResult result = machine.run(args);
        EXPECT_EQ(result.out, "") << "stdout";
        EXPECT_EQ(result.err, "") << "stderr";
        return result.exit_code;
    }
};

TEST_F(ToolTest, WrongArgumentCountIsRefusedWithoutTouchingAnything) {
    machine.reg_set(slot, "Application", reg_expand_sz, sz(""));
    EXPECT_EQ(run({}), testing::unrecognised_exit_status());
    EXPECT_EQ(run({"-panelOn", "-panelOn"}), testing::unrecognised_exit_status());
    EXPECT_EQ(run({"-panelOn", ""}), testing::unrecognised_exit_status());
    EXPECT_EQ(machine.reg_value_names(slot), std::vector<std::string>{"Application"});
}

TEST_F(ToolTest, OnlyTheExactOptionTextIsRecognised) {
    machine.reg_set(slot, "Application", reg_expand_sz, sz(""));
    for (const char* option : {"-panelon", "-PanelOn", "-PANELON", "/panelOn", " -panelOn", "-panelOn ", "-panel",
                               "-panelOnn", "panelOn", "-I", "-U", "/i", "-", ""}) {
        EXPECT_EQ(run({option}), testing::unrecognised_exit_status()) << "option \"" << option << "\"";
    }
    EXPECT_EQ(machine.reg_value_names(slot), std::vector<std::string>{"Application"});
}

TEST_F(ToolTest, PanelOnFillsAnEmptySlotAndPanelOffEmptiesIt) {
    machine.reg_set(slot, "Application", reg_expand_sz, sz(""));
    EXPECT_EQ(run({"-panelOn"}), 0u);
    EXPECT_TRUE(slot_holds(machine, filled));

    EXPECT_EQ(run({"-panelOff"}), 0u);
    EXPECT_TRUE(slot_holds(machine, emptied));

    EXPECT_EQ(run({"-panelOn"}), 0u);
    EXPECT_TRUE(slot_holds(machine, filled)) << "off then on restores the entry exactly";
}

TEST_F(ToolTest, PanelOnTwiceChangesNothingTheSecondTime) {
    machine.reg_set(slot, "Application", reg_expand_sz, sz(""));
    EXPECT_EQ(run({"-panelOn"}), 0u);
    machine.reg_set(slot, "Parameters", reg_sz, sz("marker"));
    EXPECT_EQ(run({"-panelOn"}), 0u);
    EXPECT_TRUE(has_value(machine, slot, "Parameters", reg_sz, sz("marker")));
}

TEST_F(ToolTest, MissingSlotKeyIsCreatedEmptyByEitherOption) {
    for (const char* option : {"-panelOn", "-panelOff"}) {
        machine.reg_delete_tree(slot);
        EXPECT_EQ(run({option}), 0u) << option;
        EXPECT_TRUE(machine.reg_key_exists(slot)) << option;
        EXPECT_TRUE(machine.reg_value_names(slot).empty()) << option;
    }
}

TEST_F(ToolTest, SlotWithoutApplicationValueIsLeftAlone) {
    machine.reg_set(slot, "ItemName", reg_expand_sz, sz("other"));
    EXPECT_EQ(run({"-panelOn"}), 0u);
    EXPECT_EQ(run({"-panelOff"}), 0u);
    EXPECT_EQ(machine.reg_value_names(slot), std::vector<std::string>{"ItemName"});
}

TEST_F(ToolTest, SlotUsedByAnotherProgramIsNeverTakenOrCleared) {
    const std::string other = "C:\\Windows\\other.exe";
    machine.reg_set(slot, "Application", reg_expand_sz, sz(other));
    EXPECT_EQ(run({"-panelOn"}), 0u);
    EXPECT_EQ(run({"-panelOff"}), 0u);
    EXPECT_TRUE(has_value(machine, slot, "Application", reg_expand_sz, sz(other)));
    EXPECT_EQ(machine.reg_value_names(slot), std::vector<std::string>{"Application"});
}

TEST_F(ToolTest, PanelOffIgnoresTheUtilityPathInAnotherCase) {
    std::string lower = utility_exe;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    machine.reg_set(slot, "Application", reg_expand_sz, sz(lower));
    EXPECT_EQ(run({"-panelOff"}), 0u);
    EXPECT_TRUE(has_value(machine, slot, "Application", reg_expand_sz, sz(lower)));
    EXPECT_EQ(machine.reg_value_names(slot).size(), 1u);
}

TEST_F(ToolTest, EmptyStringOfAnotherTypeCountsAsEmpty) {
    machine.reg_set(slot, "Application", reg_sz, sz(""));
    EXPECT_EQ(run({"-panelOn"}), 0u);
    EXPECT_TRUE(slot_holds(machine, filled)) << "REG_SZ \"\" is replaced by REG_EXPAND_SZ";

    machine.reg_delete_tree(slot);
    machine.reg_set(slot, "Application", reg_dword, std::string(4, '\0'));
    EXPECT_EQ(run({"-panelOn"}), 0u);
    EXPECT_TRUE(slot_holds(machine, filled)) << "a DWORD 0 reads as an empty text";
}

TEST_F(ToolTest, ApplicationIsReadUpToExactly512Bytes) {
    // Each value matches the option's guard once read, so only the size decides.
    const auto padded = [](const std::string& text, std::size_t size) { return text + std::string(size - text.size(), '\0'); };
    const struct {
        const char* option;
        std::string stored;
        bool acts;
    } cases[] = {
        {"-panelOn", padded("", 512), true},
        {"-panelOn", padded("", 513), false},
        {"-panelOff", padded(utility_exe, 512), true},
        {"-panelOff", padded(utility_exe, 513), false},
        {"-panelOn", std::string(600, 'a') + '\0', false},
        {"-panelOff", std::string(600, 'a') + '\0', false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.option) + " on " + std::to_string(c.stored.size()) + " bytes");
        machine.reg_delete_tree(slot);
        machine.reg_set(slot, "Application", reg_expand_sz, c.stored);
        EXPECT_EQ(run({c.option}), 0u);
        if (c.acts) {
            EXPECT_TRUE(slot_holds(machine, std::string(c.option) == "-panelOn" ? filled : emptied));
        } else {
            EXPECT_TRUE(has_value(machine, slot, "Application", reg_expand_sz, c.stored));
            EXPECT_EQ(machine.reg_value_names(slot).size(), 1u);
        }
    }
}

TEST_F(ToolTest, ApplicationOfExactlyTheReadSizeWithoutTerminatorStillReadsSafely) {
    // 512 bytes with no NUL: the zero byte after the offered size ends the text.
    machine.reg_set(slot, "Application", reg_sz, std::string(512, 'b'));
    EXPECT_EQ(run({"-panelOn"}), 0u);
    EXPECT_EQ(run({"-panelOff"}), 0u);
    EXPECT_EQ(machine.reg_value_names(slot).size(), 1u);
}

}  // namespace
}  // namespace veltrax
