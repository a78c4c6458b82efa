// Every moment a run can be cut short. The faulty tool ends itself, as a kill
// would, just before its Nth platform call, for every N that a clean run
// reaches. Whatever the moment: nothing is lost, the machine is in a state
// that the option's documented steps pass through (in their order), and
// running the same option again with the real tool leaves exactly what one
// clean run leaves. The same test runs on Linux and, under Wine, on the exe.
// A build may take every Nth moment only (VELTRAX_CRASH_POINT_STRIDE): the
// sanitizer tree, which looks for memory errors rather than for states. The
// environment variable of that name sets it for one run (the verification
// kit's reduced run does).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/checks.h"
#include "tests/support/machine.h"
#include "tests/support/model.h"

namespace veltrax {
namespace {

namespace model = testing::model;
using testing::Machine;

// The utility in the x86 folder, and a library of several 51,200-byte blocks.
void x86_layout(const Machine& m) { model::seed_x86_utility(m, 3 * 51200 + 777); }

struct Scenario {
    const char* name;
    const char* option;
    std::function<void(const Machine&)> seed;
};

const Scenario scenarios[] = {
    {"Install", "-i", x86_layout},
    {"Uninstall", "-u",
     [](const Machine& m) {
         x86_layout(m);
         ASSERT_EQ(m.run({"-i"}).exit_code, 0u);
     }},
    {"PanelOn", "-panelOn", [](const Machine& m) { m.reg_set(model::slot_key, "Application", 2, model::sz_bytes("")); }},
    {"PanelOff", "-panelOff",
     [](const Machine& m) {
         m.reg_set(model::slot_key, "Application", 2, model::sz_bytes(""));
         ASSERT_EQ(m.run({"-panelOn"}).exit_code, 0u);
     }},
};

class CrashPoints : public ::testing::TestWithParam<Scenario> {};

TEST_P(CrashPoints, NothingIsLostTheStepsKeepTheirOrderAndARerunFinishesTheJob) {
    const Scenario& scenario = GetParam();
    unsigned crash_points = 0;
    unsigned recovered = 0;
    unsigned temporaries_left = 0;
    std::vector<model::Snapshot> states;  // that the documented steps pass through, from the start
    std::size_t last_step = 0;
    const char* const stride_setting = std::getenv("VELTRAX_CRASH_POINT_STRIDE");
    const unsigned stride = stride_setting != nullptr ? std::max(1ul, std::strtoul(stride_setting, nullptr, 10))
                                                      : VELTRAX_CRASH_POINT_STRIDE;
    for (unsigned n = 1;; n += stride) {
        SCOPED_TRACE(std::string(scenario.option) + " ended before platform call " + std::to_string(n));
        ASSERT_LT(n, 1000u) << "a clean run never ends";
        Machine machine;
        scenario.seed(machine);
        const model::Snapshot start = model::take(machine);
        if (states.empty()) states = model::passes_through(start, scenario.option);
        ASSERT_TRUE(start == states.front()) << "every crash point starts from the same machine";
        const model::Snapshot& clean = states.back();

        const testing::RunResult cut =
            machine.run({scenario.option}, "veltrax-place-faulty", {"VELTRAX_TEST_CRASH_AT=" + std::to_string(n)});
        if (cut.exit_code == 0) {  // n is past the last call: this run was a clean one
            const model::Snapshot after = model::take(machine);
            EXPECT_TRUE(after == clean) << model::diff(clean, after);
            break;
        }
        ASSERT_EQ(cut.exit_code, testing::crashed_exit_status());
        ++crash_points;

        std::size_t temporaries = 0;
        const model::Snapshot middle = model::without_temporaries(model::take(machine), &temporaries);
        ASSERT_TRUE(model::nothing_lost(start, middle));
        if (temporaries > 0) {
            EXPECT_FALSE(middle.files.count(model::native_library)) << "a temporary only stands in for a missing library";
        }
        // The state must be one that the documented steps pass through, and no
        // earlier one than a crash one call sooner left.
        std::size_t step = last_step;
        while (step < states.size() && !(states[step] == middle)) ++step;
        ASSERT_LT(step, states.size()) << "not a state the documented steps pass through after step " << last_step
                                       << ":\n" << model::describe(middle);
        last_step = step;

        ASSERT_EQ(machine.run({scenario.option}).exit_code, 0u);
        std::size_t left = 0;
        const model::Snapshot after = model::without_temporaries(model::take(machine), &left);
        temporaries_left += left > 0;
        EXPECT_TRUE(after == clean) << model::diff(clean, after);
        recovered += after == clean;
    }
    std::printf("%s: %u crash points, %u recovered on a rerun (%u left a temporary beside the library)\n", scenario.option,
                crash_points, recovered, temporaries_left);
    RecordProperty("crash_points", static_cast<int>(crash_points));
    EXPECT_GT(crash_points, 0u);
}

INSTANTIATE_TEST_SUITE_P(EveryRun, CrashPoints, ::testing::ValuesIn(scenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace veltrax
