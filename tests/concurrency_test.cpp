// Two copies of the tool at once. The races are staged, not left to chance:
// the first copy (the test platform's tool) stops just before a chosen
// platform call, the second runs from start to end, then the first goes on.
// Whatever the moment: every file is in exactly one place (both, where both
// held one), the library is whole or absent, no temporary is left, the slot
// is wholly on or off, and running the first option again leaves what the
// two options leave when run one after the other. The same test runs on
// Linux and, under Wine, on the exe.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/fault.h"
#include "tests/support/checks.h"
#include "tests/support/machine.h"
#include "tests/support/model.h"

namespace veltrax {
namespace {

namespace model = testing::model;
using platform::fault::Op;
using testing::Machine;

void x86_layout(const Machine& m) {
    model::seed_x86_utility(m, 4 * 51200 + 333);
    // Two files on both sides, with other bytes: each copy must survive.
    m.write(model::native_utilities + "\\Corvint.dll", "native Corvint.dll");
    m.write(model::native_utilities + "\\SK-SK\\corvint.dll.mui", "native SK-SK");
}

void installed(const Machine& m) {
    x86_layout(m);
    ASSERT_EQ(m.run({"-i"}).exit_code, 0u);
}

void slot_off(const Machine& m) { m.reg_set(model::slot_key, "Application", 2, model::sz_bytes("")); }

void slot_on(const Machine& m) {
    slot_off(m);
    ASSERT_EQ(m.run({"-panelOn"}).exit_code, 0u);
}

struct Race {
    const char* name;
    void (*seed)(const Machine&);
    const char* first;
    Op paused_before;  // the first copy stops before this call...
    unsigned nth;      // ...the nth of its kind
    const char* second;
};

const Race races[] = {
    {"InstallsMidMove", x86_layout, "-i", Op::rename_file, 12, "-i"},
    {"InstallsMidCopy", x86_layout, "-i", Op::write_stream, 2, "-i"},
    {"InstallBeforeItsRename", x86_layout, "-i", Op::replace_file, 1, "-i"},
    {"InstallMidMoveAndUninstall", x86_layout, "-i", Op::rename_file, 12, "-u"},
    {"InstallMidCopyAndUninstall", x86_layout, "-i", Op::write_stream, 2, "-u"},
    {"UninstallMidMoveAndInstall", installed, "-u", Op::rename_file, 12, "-i"},
    {"PanelOnMidWriteAndPanelOff", slot_off, "-panelOn", Op::set_value, 3, "-panelOff"},
    {"PanelOffMidWriteAndPanelOn", slot_on, "-panelOff", Op::set_value, 3, "-panelOn"},
};

// Waits up to half a minute for the file to appear.
bool appears(const Machine& m, const std::string& path) {
    for (int waited = 0; waited < 3000; ++waited) {
        if (m.exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

::testing::AssertionResult slot_is_whole(const model::Snapshot& s) {
    std::size_t filled = 0;
    std::size_t empty = 0;
    for (const auto& [name, value] : s.slot) {
        if (value.data == model::sz_bytes("")) ++empty;
        else ++filled;
    }
    if (filled != 0 && empty != 0) {
        return ::testing::AssertionFailure() << "the slot is half on:\n" << model::describe(s);
    }
    return ::testing::AssertionSuccess();
}

class Concurrency : public ::testing::TestWithParam<Race> {};

TEST_P(Concurrency, EveryFileInOnePlaceTheLibraryWholeAndARerunFinishesTheJob) {
    const Race& race = GetParam();
    Machine machine;
    race.seed(machine);
    const model::Snapshot before = model::take(machine);
    const std::string gate = machine.scratch_dir() + "\\gate";
    // Only a gate this test made stages the race: one found beforehand, or its mark, was planted.
    ASSERT_FALSE(machine.exists(gate) || machine.exists(gate + ".reached")) << "a gate was there before the test made it";
    machine.write(gate, "");

    testing::Process first = machine.start(
        {race.first}, "veltrax-place-faulty",
        {"VELTRAX_TEST_PAUSE=" + std::to_string(static_cast<unsigned>(race.paused_before)) + ":" +
             std::to_string(race.nth),
         "VELTRAX_TEST_GATE=" + machine.native_path(gate)});
    ASSERT_TRUE(appears(machine, gate + ".reached")) << race.first << " never reached the staged moment";
    EXPECT_EQ(machine.run({race.second}).exit_code, 0u) << race.second;
    machine.remove_tree(gate);
    ASSERT_FALSE(machine.exists(gate)) << "the gate could not be lifted";
    EXPECT_EQ(first.finish().exit_code, 0u) << race.first;
    machine.remove_tree(gate + ".reached");

    const model::Snapshot after = model::take(machine);
    for (const std::string& file : model::utility_files()) {
        const std::string x86 = model::x86_utilities + "\\" + file;
        const std::string native = model::native_utilities + "\\" + file;
        const auto place = [](const model::Snapshot& s, const std::string& path) {
            const auto found = s.files.find(path);
            return found == s.files.end() ? std::string("(none)") : found->second;
        };
        const std::size_t places_before = before.files.count(x86) + before.files.count(native);
        if (places_before != 1) {
            EXPECT_EQ(place(after, x86), place(before, x86)) << file << ": both copies, or none, stay as they were";
            EXPECT_EQ(place(after, native), place(before, native)) << file;
        } else {
            const std::string bytes = before.files.count(x86) ? place(before, x86) : place(before, native);
            EXPECT_EQ(after.files.count(x86) + after.files.count(native), 1u) << file << " must be in exactly one place";
            EXPECT_TRUE(place(after, x86) == bytes || place(after, native) == bytes) << file << " keeps its bytes";
        }
    }
    const auto library = after.files.find(model::native_library);
    if (library != after.files.end() && !before.files.count(model::native_library)) {
        EXPECT_TRUE(library->second == before.files.at(model::x86_library)) << "the library copy is whole";
    }
    EXPECT_EQ(model::without_temporaries(after).files.size(), after.files.size()) << "no temporary left";
    EXPECT_TRUE(model::nothing_lost(before, after));
    EXPECT_TRUE(slot_is_whole(after));

    ASSERT_EQ(machine.run({race.first}).exit_code, 0u);
    const model::Snapshot expected = model::apply(model::apply(before, race.second), race.first);
    const model::Snapshot rerun = model::take(machine);
    EXPECT_TRUE(rerun == expected) << model::diff(expected, rerun);
}

INSTANTIATE_TEST_SUITE_P(Staged, Concurrency, ::testing::ValuesIn(races),
                         [](const ::testing::TestParamInfo<Race>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace veltrax
