// Random machines, random sequences of options, the real tool in its own
// process after every step: the machine must match the reference model, and
// no file may be lost, duplicated or changed.
//
// The same test drives the Linux build and, under Wine, the Windows exe.
// VELTRAX_PROPERTY_SEED=N reruns from seed N; VELTRAX_PROPERTY_RUNS=N sets
// how many sequences (the build's setting for the tier otherwise). A failure
// prints the seed of its sequence.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>

#include "tests/support/checks.h"
#include "tests/support/machine.h"
#include "tests/support/model.h"
#include "tests/support/tier.h"

namespace veltrax {
namespace {

namespace model = testing::model;
using testing::Machine;

unsigned env_number(const char* name, unsigned fallback) {
    const char* text = std::getenv(name);
    return text != nullptr ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : fallback;
}

// Seeds a machine at random: each utility file in x86, native, both (with
// different bytes) or neither; stray files; either library; odd registry states.
void seed_machine(const Machine& m, std::mt19937& random) {
    auto chance = [&](unsigned percent) { return random() % 100 < percent; };
    const std::string tag = std::to_string(random());
    for (const std::string& file : model::utility_files()) {
        switch (random() % 4) {
            case 0: m.write(model::x86_utilities + "\\" + file, "x86 " + file + " " + tag); break;
            case 1: m.write(model::native_utilities + "\\" + file, "native " + file + " " + tag); break;
            case 2:
                m.write(model::x86_utilities + "\\" + file, "x86 " + file + " " + tag);
                m.write(model::native_utilities + "\\" + file, "native " + file + " " + tag);
                break;
            default: break;
        }
    }
    for (int extra = 0; extra < 3; ++extra) {
        if (!chance(30)) continue;
        const std::string& language = model::languages[random() % model::languages.size()];
        const std::string& root = chance(50) ? model::native_utilities : model::x86_utilities;
        m.write(root + "\\" + language + "\\extra" + std::to_string(extra) + ".txt", "user file " + tag);
    }
    if (chance(20)) m.write(model::native_utilities + "\\readme.txt", "readme " + tag);
    if (chance(60)) m.write(model::x86_library, std::string(random() % 120000, 'x') + "x86 library " + tag);
    if (chance(30)) m.write(model::native_library, "native library " + tag);

    switch (random() % 6) {
        case 0: break;  // no slot key
        case 1: m.reg_set(model::slot_key, chance(50) ? "Application" : "application", 2, model::sz_bytes("")); break;
        case 2: m.reg_set(model::slot_key, "Application", 2, model::sz_bytes(model::utility_exe)); break;
        case 3: m.reg_set(model::slot_key, "Application", 1, model::sz_bytes("C:\\other.exe")); break;
        case 4: m.reg_set(model::slot_key, "Application", 4, std::string(4, '\0')); break;
        default: m.reg_set(model::slot_key, "Application", 2, std::string(600, 'a')); break;
    }
    if (chance(30)) m.reg_set(model::plugin_key, "DllName", 4, std::string("\x07\0\0\0", 4));
    if (chance(30)) m.reg_set(model::notify_key + "\\{other-plugin}", "DllName", 1, model::sz_bytes("C:\\o.dll"));
}

TEST(Property, RandomMachinesAndSequencesMatchTheModelAndLoseNothing) {
    const unsigned first_seed = env_number("VELTRAX_PROPERTY_SEED", 20261208);
    const unsigned runs =
        testing::tier_setting("VELTRAX_PROPERTY_RUNS", VELTRAX_PROPERTY_DEFAULT_RUNS, VELTRAX_PROPERTY_QUICK_RUNS);
    const char* const options[] = {"-i", "-u", "-panelOn", "-panelOff"};

    unsigned done = 0;
    for (unsigned seed = first_seed; seed < first_seed + runs; ++seed, ++done) {
        SCOPED_TRACE("VELTRAX_PROPERTY_SEED=" + std::to_string(seed) + " VELTRAX_PROPERTY_RUNS=1");
        std::mt19937 random(seed);
        Machine machine;
        seed_machine(machine, random);
        const model::Snapshot start = model::take(machine);
        model::Snapshot expected = start;

        const unsigned steps = 1 + random() % 6;
        std::string history;
        for (unsigned step = 0; step < steps; ++step) {
            const std::string option = options[random() % 4];
            history += option + " ";
            const testing::RunResult result = machine.run({option});
            ASSERT_EQ(result.exit_code, 0u) << history;
            ASSERT_EQ(result.out + result.err, "") << history;

            expected = model::apply(expected, option);
            const model::Snapshot actual = model::take(machine);
            ASSERT_TRUE(model::nothing_lost(start, actual)) << "after " << history;
            ASSERT_TRUE(actual == expected) << "after " << history << "\n" << model::diff(expected, actual)
                                        << "start:\n" << model::describe(start);
        }
    }
    RecordProperty("sequences", static_cast<int>(done));
    std::printf("%u sequences from seed %u, each matched the model and lost nothing\n", done, first_seed);
}

}  // namespace
}  // namespace veltrax
