// The Windows Installer package under msiexec, each scenario against the exe
// run directly on the same seeded machine: whatever the package does to the
// machine must be exactly what its documented runs of the tool do, and the
// product must be registered (or not) as the scenario says.
//
// The packages are built beside this program: the one this build ships, a
// version one higher in the fourth field, one higher in the second, and a
// copy of the shipped one with steps that fail after the tool ran, on request.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/support/machine.h"
#include "tests/support/model.h"
#include "tests/support/tier.h"

namespace veltrax {
namespace {

namespace model = testing::model;
using testing::Machine;

// msiexec from the system folder Windows names, never a path a user could make first.
const std::string msiexec = [] {
    char system[MAX_PATH];
    const UINT length = GetSystemDirectoryA(system, MAX_PATH);
    return (length > 0 && length < MAX_PATH ? std::string(system, length) : std::string("C:\\Windows\\System32")) +
           "\\msiexec.exe";
}();
const std::string install_dir = "C:\\Program Files\\veltrax-place";
// Wine's msiexec differs from Windows in two ways these scenarios meet; each
// allowance holds only where the test finds itself under Wine (its ntdll
// exports wine_get_version), so that on a real Windows every check is strict.
bool under_wine() {
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// msiexec's exit when the install fails: ERROR_INSTALL_FAILURE; Wine says
// ERROR_FUNCTION_FAILED when a custom action failed.
bool is_install_failure(std::uint32_t code) { return code == 1603 || (code == 1627 && under_wine()); }

std::string package(const std::string& name) {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string self(path, length);
    return self.substr(0, self.find_last_of('\\')) + "\\packages\\" + name + ".msi";
}

// The first field of a query's first row, in a package file.
std::string package_query(const std::string& name, const std::string& query) {
    PMSIHANDLE database, view, record;
    char value[256] = "";
    DWORD size = sizeof value;
    if (MsiOpenDatabaseA(package(name).c_str(), MSIDBOPEN_READONLY, &database) == ERROR_SUCCESS &&
        MsiDatabaseOpenViewA(database, query.c_str(), &view) == ERROR_SUCCESS && MsiViewExecute(view, 0) == ERROR_SUCCESS &&
        MsiViewFetch(view, &record) == ERROR_SUCCESS) {
        MsiRecordGetStringA(record, 1, value, &size);
    }
    return value;
}

// A property of a package file, read from its Property table.
std::string package_property(const std::string& name, const std::string& property) {
    return package_query(name, "SELECT `Value` FROM `Property` WHERE `Property` = '" + property + "'");
}

// The version of a package's product installed for the machine, never a user's product of the same upgrade code;
// "" when there is none. This program looks at and removes only its own products: base's, revision's and minor's
// (failing and failing-revision share base's and revision's codes).
std::string machine_version(const std::string& code) {
    char version[64];
    DWORD size = sizeof version;
    return MsiGetProductInfoExA(code.c_str(), nullptr, MSIINSTALLCONTEXT_MACHINE, INSTALLPROPERTY_VERSIONSTRING, version,
                                &size) == ERROR_SUCCESS ? std::string(version, size) : "";
}
const std::vector<std::string>& own_products() {
    static const std::vector<std::string> codes = {package_property("base", "ProductCode"),
                                                   package_property("revision", "ProductCode"),
                                                   package_property("minor", "ProductCode")};
    return codes;
}

// The versions of this program's products installed for the machine.
std::vector<std::string> installed_versions() {
    std::vector<std::string> versions;
    for (const std::string& code : own_products())
        if (const std::string version = machine_version(code); !version.empty()) versions.push_back(version);
    return versions;
}

// Removes this program's products installed for the machine and what they may have left.
void remove_products(const Machine& m) {
    for (const std::string& code : own_products()) {
        // msiexec /x removes this user's product of a code before the machine's: one registered for them too is left.
        const bool users = MsiEnumProductsExA(code.c_str(), nullptr, MSIINSTALLCONTEXT_USERMANAGED | MSIINSTALLCONTEXT_USERUNMANAGED,
                                              0, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
        EXPECT_FALSE(users) << code << " is registered for this user too, so msiexec /x would remove that one: left";
        for (int round = 0; !users && round < 3 && !machine_version(code).empty(); ++round)
            m.run({"/x", code, "/qn", "REBOOT=ReallySuppress"}, msiexec);
    }
    m.remove_tree(install_dir);
    m.reg_delete_tree("SOFTWARE\\veltrax-place");
    // Where Wine's msiexec dropped a product's registration after a failed
    // run, its components still name it as a client; a later uninstall would
    // then keep them (and the memo) for it. Windows rolls the product back.
    if (under_wine()) {
        for (const char* component : {"7402DF1FDC76C1740B11B085444EFB6C", "2A66BDB877F1A1A49B5FD32F01901D6F"}) {
            m.reg_delete_tree(std::string("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components\\") +
                              component);
        }
    }
}

void x86_layout(const Machine& m) {
    for (const std::string& file : model::utility_files()) m.write(model::x86_utilities + "\\" + file, "x86 " + file);
    m.write(model::x86_library, std::string(70000, 'L'));
}

void x86_layout_and_slot(const Machine& m) {
    x86_layout(m);
    m.reg_set(model::slot_key, "Application", 2, model::sz_bytes(""));
}

// Slot 3 names the utility before the package comes, as a value of this type
// (REG_SZ 1, REG_EXPAND_SZ 2, or REG_BINARY 3 with more bytes after the NUL).
template <std::uint32_t type>
void x86_layout_and_slot_on(const Machine& m) {
    x86_layout(m);
    const std::string path = model::sz_bytes(model::utility_exe);
    m.reg_set(model::slot_key, "Application", type, type == 3 ? path + "more" : path);
}

void nothing(const Machine&) {}

// The maker's own setup placed the utility before the package came.
void placed_by_the_maker(const Machine& m) {
    x86_layout_and_slot(m);
    m.run({"-i"});
}

// An antivirus or a clean-up tool deletes the installed exe.
void delete_installed_exe(const Machine& m) { m.remove_tree(install_dir + "\\veltrax-place.exe"); }
void drop_registration(const Machine& m) { m.reg_delete_tree(model::plugin_key); delete_installed_exe(m); }
// The maker's setup updates the utility: its new files (a new library) land in the x86 folder.
void maker_updates_utility(const Machine& m) { model::seed_x86_utility(m, 70001); }

// The memo as a version before "PlacementOwned" wrote it.
void forget_placement_owner(const Machine& m) {
    const std::string key = "SOFTWARE\\veltrax-place";
    std::vector<std::pair<std::string, testing::RegValue>> kept;
    for (const std::string& name : m.reg_value_names(key)) {
        if (name != "PlacementOwned") kept.emplace_back(name, *m.reg_get(key, name));
    }
    m.reg_delete_tree(key);
    for (const auto& [name, value] : kept) m.reg_set(key, name, value.type, value.data);
}

// msiexec's command line ("/i base PANEL=1": a package's name stands for its
// file; /qn is added), and what the exe run directly does for it ("-i -u").
// A step without a command line runs the exe alone, on both sides.
struct Step {
    std::string msiexec;
    std::string tool_runs;
    bool fails = false;                // msiexec's exit says the install failed
    void (*first)(const Machine&) = nullptr;  // done by hand before the step
    // The runs of the tool that the rollback scheduled before the staged
    // failure makes, in the order it makes them, as msiexec's verbose log and
    // the package's tables show: proof of what Windows rolls back where Wine's
    // msiexec rolls back less (a failed repair not at all).
    std::string rollback = {};
    // What the product is after the step, as product_state() says it; not
    // checked when empty.
    std::string product = {};
};

struct Scenario {
    const char* name;
    std::function<void(const Machine&)> seed;
    std::vector<Step> steps;
    std::vector<std::string> installed;  // the product versions registered at the end
    // Where Wine cannot roll back what Windows does (a failed uninstall's
    // removal of the product, an old version's removal inside a failed
    // upgrade), the product itself (its registration, its exe, what it
    // remembers) is checked only on Windows; the machine's state always is.
    bool product_as_on_windows_only = false;
};

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find(' ', at), text.size());
        std::string word = text.substr(at, end - at);
        // The packages: base (this build's), revision and minor (one higher in the
        // fourth and in the second field), failing (base, failing on request).
        for (const char* name : {"base", "revision", "minor", "failing", "failing-revision"}) {
            if (word == name) word = package(name);
        }
        out.push_back(word);
        at = end + 1;
    }
    return out;
}

std::vector<Scenario> scenarios() {
    const std::string version = package_property("base", "ProductVersion");
    const std::string revision = package_property("revision", "ProductVersion");
    const std::string minor = package_property("minor", "ProductVersion");
    const std::string upgrading = "UPGRADINGPRODUCTCODE=" + package_property("revision", "ProductCode");
    return {
        {"Install", x86_layout, {{"/i base", "-i"}}, {version}},
        {"InstallOnAMachineWithoutTheUtility", nothing, {{"/i base", "-i"}}, {version}},
        {"InstallWithPanel", x86_layout_and_slot, {{"/i base PANEL=1", "-i -panelOn"}}, {version}},
        {"PanelOtherThanOneRunsNoPanelOn", x86_layout_and_slot, {{"/i base PANEL=yes", "-i"}}, {version}},
        {"UninstallUndoesWhatTheInstallDidWithTheInstalledExeGone", x86_layout_and_slot,
         {{"/i base PANEL=1", "-i -panelOn"}, {"/i base", "-i -panelOn", false, drop_registration},
          {"/x base", "-panelOff -u", false, delete_installed_exe}}, {}},
        {"UninstallLeavesAPanelEntryItDidNotMake", x86_layout_and_slot,
         {{"/i base", "-i"}, {"", "-panelOn"}, {"/x base", "-u"}}, {}},
        {"RepairBringsBackTheRegistration", x86_layout,
         {{"/i base", "-i"}, {"/i base REINSTALL=ALL REINSTALLMODE=vomus", "-i", false, drop_registration}}, {version}},
        {"PanelOnBeforeTheInstallIsLeftOn", &x86_layout_and_slot_on<2>,
         {{"/i base PANEL=1", "-i"}, {"/x base", "-u"}}, {}},
        {"PanelOnBeforeAFailedInstallIsLeftOn", &x86_layout_and_slot_on<1>,
         {{"/i failing PANEL=1 STAGED_FAILURE=install", "-i -panelOn -u", true, nullptr, "-panelOn -u"}}, {}},
        {"UpgradeInTheFourthFieldKeepsThePanelTheFirstVersionMadeUntilTheLastGoes", x86_layout_and_slot,
         {{"/i base PANEL=1", "-i -panelOn"}, {"/i revision", "-panelOff -u -i -panelOn"}, {"/x revision", "-panelOff -u"}},
         {}},
        {"PanelOnBeforeTheFirstVersionOutlivesTheLast", &x86_layout_and_slot_on<3>,
         {{"/i base PANEL=1", "-i"}, {"/i revision", "-u -i"}, {"/x revision", "-u"}}, {}},
        {"PanelZeroAtAnUpgradeSwitchesTheEntryOffForGood", x86_layout_and_slot,
         {{"/i base PANEL=1", "-i -panelOn"}, {"/i revision PANEL=0", "-panelOff -u -i"},
          {"/i revision REINSTALL=ALL REINSTALLMODE=vomus", "-i"}},
         {revision}},
        {"RepairWithPanelZeroSwitchesTheEntryOffThere", x86_layout_and_slot,
         {{"/i base PANEL=1", "-i -panelOn"},
          {"/i base REINSTALL=ALL REINSTALLMODE=vomus PANEL=0", "-panelOff -i", false, nullptr, "", version + " owns-placement"},
          {"/x base", "-u"}},
         {}},
        {"PlacedBeforeThePackageStaysPlacedWhenItGoes", placed_by_the_maker,
         {{"/i base PANEL=1", "-i -panelOn"}, {"/i base REINSTALL=ALL REINSTALLMODE=vomus", "-i"}, {"/x base", "-panelOff"}},
         {}},
        {"PlacedBeforeThePackageStaysPlacedThroughAnUpgrade", placed_by_the_maker,
         {{"/i base", "-i"}, {"/i revision PANEL=1", "-i -panelOn"}, {"/x revision", "-panelOff"}}, {}},
        {"AVersionWithoutThePlacementOwnerKeepsItsPromiseThroughAnUpgrade", placed_by_the_maker,
         {{"/i base", "-i"}, {"/i revision", "-u -i", false, forget_placement_owner}, {"/x revision", "-u"}}, {}},
        // The same package run again with another PANEL is the repair that takes it; only a repair
        // that rewrites no registry value ("m" left out, in any case) cannot take it.
        {"PanelChangedOnTheInstalledProductIsTakenByARepair", x86_layout_and_slot,
         {{"/i base", "-i"},
          {"/i base PANEL=1", "-i -panelOn", false, nullptr, "", version + " panel owns-entry owns-placement"},
          {"/i base REINSTALL=ALL REINSTALLMODE=vous PANEL=0", "", true},
          {"/i base PANEL=0", "-panelOff -i", false, nullptr, "", version + " owns-placement"},
          {"/i base REINSTALL=ALL REINSTALLMODE=VOMUS PANEL=1", "-i -panelOn"},
          {"/x base", "-panelOff -u"}},
         {}},
        {"UpgradeInTheSecondField", x86_layout_and_slot,
         {{"/i base PANEL=1", "-i -panelOn"}, {"/i minor PANEL=0", "-panelOff -u -i", false, delete_installed_exe}}, {minor}},
        {"OldVersionRemovedTheWayWindowsUpgradesIt", x86_layout_and_slot,
         {{"/i base PANEL=1", "-i -panelOn"}, {"/x base " + upgrading, "-panelOff -u"}}, {}},
        {"DowngradeInTheFourthFieldIsRefused", x86_layout, {{"/i revision", "-i"}, {"/i base", "", true}}, {revision}},
        {"DowngradeInTheSecondFieldIsRefused", x86_layout, {{"/i minor", "-i"}, {"/i base", "", true}}, {minor}},
        {"FailureAfterThePlacementRollsItBack", x86_layout_and_slot,
         {{"/i failing PANEL=1 STAGED_FAILURE=install", "-i -panelOn -panelOff -u", true, nullptr, "-panelOff -u"}}, {}},
        {"FailureAfterTheUninstallRollsItBack", x86_layout_and_slot,
         {{"/i failing PANEL=1", "-i -panelOn"},
          {"/x failing STAGED_FAILURE=uninstall", "-panelOff -u -i -panelOn", true, nullptr, "-i -panelOn"}},
         {version}, true},
        // Wine's msiexec rolls a failed repair back not at all; the log shows what Windows would run.
        {"FailedRepairKeepsAPlacedMachinePlacedAndTheEntryOn", x86_layout_and_slot,
         {{"/i failing PANEL=1", "-i -panelOn"},
          {"/i failing REINSTALL=ALL REINSTALLMODE=vomus STAGED_FAILURE=install", "-i -panelOn -panelOn -i", true,
           nullptr, "-panelOn -i"}},
         {version}},
        {"FailedRerunOfTheSamePackageKeepsAPlacedMachinePlaced", x86_layout,
         {{"/i failing", "-i"}, {"/i failing STAGED_FAILURE=install", "-i -i", true, nullptr, "-i"}}, {version}, true},
        {"FailedUpgradeKeepsTheOldVersionsPlacementAndEntry", x86_layout_and_slot,
         {{"/i base PANEL=1", "-i -panelOn"}, {"/i failing-revision STAGED_FAILURE=install", "-panelOff -u -i -panelOn", true}},
         {version}, true},
        {"FailedUpgradeWithPanelZeroKeepsTheOldEntry", x86_layout_and_slot,
         {{"/i base PANEL=1", "-i -panelOn"}, {"/i failing-revision PANEL=0 STAGED_FAILURE=install", "-panelOff -u -i -panelOn", true}},
         {version}, true},
        {"FailedUpgradeOfAVersionWithoutTheEntrySwitchesOffOnlyItsOwn", x86_layout_and_slot,
         {{"/i base", "-i"}, {"/i failing-revision PANEL=1 STAGED_FAILURE=install", "-u -i -panelOn -panelOff -i", true}},
         {version}, true},
    };
}

// What the rollback that a failed msiexec run scheduled would run, in the
// order it runs (the last scheduled first): each rollback action that the
// verbose log shows starting before the staged failure, its target from the
// package's CustomAction table formatted with the properties the log lists.
std::string scheduled_rollback(const std::string& log, const std::string& package_name) {
    std::string text;  // the log as plain text, whether msiexec wrote it in UTF-16 or in the code page
    for (const char c : log) {
        if (c != '\0' && c != '\r') text += c;
    }
    std::vector<std::string> scheduled;
    std::map<std::string, std::string> properties;
    bool failed = false;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.rfind("Property(S): ", 0) == 0) {
            const std::size_t equals = line.find(" = ");
            if (equals != std::string::npos) properties[line.substr(13, equals - 13)] = line.substr(equals + 3);
        } else if (line.rfind("Action start ", 0) == 0 && !failed) {
            const std::size_t name_at = line.find(": ") + 2;
            const std::string action = line.substr(name_at, line.size() - name_at - 1);  // without the full stop
            failed = action.rfind("Staged", 0) == 0;
            if (action.size() > 8 && action.compare(action.size() - 8, 8, "Rollback") == 0) scheduled.push_back(action);
        }
    }
    std::string runs;
    for (auto action = scheduled.rbegin(); action != scheduled.rend(); ++action) {
        std::string target =
            package_query(package_name, "SELECT `Target` FROM `CustomAction` WHERE `Action` = '" + *action + "'");
        for (std::size_t open = target.find('['); open != std::string::npos; open = target.find('[')) {
            const std::size_t close = target.find(']', open);
            target.replace(open, close - open + 1, properties[target.substr(open + 1, close - open - 1)]);
        }
        runs += (runs.empty() ? "" : " ") + target;
    }
    return runs;
}

// What the installed product remembers (its values in HKLM\SOFTWARE\veltrax-place).
std::string memo(const Machine& m) {
    std::string text;
    for (const char* name : {"Panel", "PanelOwned", "VersionBase", "Revision"}) {
        const auto value = m.reg_get("SOFTWARE\\veltrax-place", name);
        text += std::string(name) + "=" + (value ? value->data.c_str() : "(none)") + " ";
    }
    return text;
}

// The installed versions and what the product remembers, as words: the
// versions, then "panel" (it was asked for the entry), "owns-entry" and
// "owns-placement" where the memo says so; "none" without a product.
std::string product_state(const Machine& m) {
    std::string text;
    for (const std::string& version : installed_versions()) text += (text.empty() ? "" : " ") + version;
    if (text.empty()) return "none";
    const auto says = [&](const char* name, const std::string& value) {
        const auto stored = m.reg_get("SOFTWARE\\veltrax-place", name);
        return stored && stored->data.c_str() == value;
    };
    if (says("Panel", "panel=1")) text += " panel";
    if (says("PanelOwned", "owned=1")) text += " owns-entry";
    if (says("PlacementOwned", "owned=1")) text += " owns-placement";
    return text;
}

// Runs the scenario's steps, through msiexec or, with `direct`, through the
// exe alone; returns the machine's state after each step.
std::vector<model::Snapshot> play(const Scenario& scenario, bool direct) {
    std::vector<model::Snapshot> states;
    remove_products(Machine());
    Machine machine;
    scenario.seed(machine);
    const bool product_checked = !scenario.product_as_on_windows_only || !under_wine();
    for (const Step& step : scenario.steps) {
        if (step.first != nullptr) step.first(machine);
        if (!step.msiexec.empty() && !direct) {
            // Never a restart in the middle of a run: a file in use makes Windows ask for one (3010) instead.
            std::vector<std::string> line = words(step.msiexec);
            line.insert(line.end(), {"/qn", "REBOOT=ReallySuppress"});
            const std::string log = machine.scratch_dir() + "\\msiexec.log";
            if (!step.rollback.empty()) line.insert(line.end(), {"/l*v", log});
            const std::string remembered = memo(machine);
            const std::uint32_t code = machine.run(line, msiexec).exit_code;
            EXPECT_TRUE(step.fails ? is_install_failure(code) : code == 0 || code == ERROR_SUCCESS_REBOOT_REQUIRED)
                << step.msiexec << " exited " << code;
            if (code == ERROR_SUCCESS_REBOOT_REQUIRED) {
                ::testing::Test::RecordProperty("note", "msiexec " + step.msiexec + " succeeded and asked for a restart (3010)");
            }
            if (!step.rollback.empty()) {
                const std::size_t name_at = step.msiexec.find(' ') + 1;  // "/i NAME ...": the package's name
                const std::string name = step.msiexec.substr(name_at, step.msiexec.find(' ', name_at) - name_at);
                EXPECT_EQ(scheduled_rollback(machine.read(log).value_or(""), name), step.rollback)
                    << step.msiexec << ": the runs its rollback makes";
            }
            // A run that failed changed nothing the product remembers.
            if (step.fails && product_checked) {
                EXPECT_EQ(memo(machine), remembered) << step.msiexec;
            }
            if (!step.product.empty()) {
                EXPECT_EQ(product_state(machine), step.product) << "the product after " << step.msiexec;
            }
        } else if (!step.tool_runs.empty()) {
            for (const std::string& option : words(step.tool_runs)) {
                EXPECT_EQ(machine.run({option}).exit_code, 0u) << option;
            }
        }
        states.push_back(model::take(machine));
    }
    if (!direct && product_checked) {
        EXPECT_EQ(installed_versions(), scenario.installed) << "registered products";
        EXPECT_EQ(machine.exists(install_dir + "\\veltrax-place.exe"), !scenario.installed.empty());
        if (scenario.installed.empty()) {
            EXPECT_FALSE(machine.exists(install_dir)) << "the package's folder is removed";
        }
    }
    return states;
}

// One test a scenario, so that each can be run alone
// (--gtest_filter=Scenario/Package.DoesExactlyWhatTheExeDoes/Install).
class Package : public ::testing::TestWithParam<Scenario> {};

TEST_P(Package, DoesExactlyWhatTheExeDoesAndRegistersTheProductAsItSays) {
    ASSERT_FALSE(package_property("base", "ProductCode").empty()) << "no package at " << package("base");
    const Scenario& scenario = GetParam();
    const std::vector<model::Snapshot> direct = play(scenario, true);
    const std::vector<model::Snapshot> packaged = play(scenario, false);
    for (std::size_t step = 0; step < direct.size(); ++step) {
        EXPECT_TRUE(packaged[step] == direct[step])
            << "after " << scenario.steps[step].msiexec << ":\n" << model::diff(direct[step], packaged[step]);
    }
}

INSTANTIATE_TEST_SUITE_P(Scenario, Package, ::testing::ValuesIn(scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

// Random histories of a fleet's machine: the maker's own setup running the
// tool or updating the utility (its new files land in the x86 folder, which
// no later -i moves over the native ones), the installed exe deleted, the
// package installed, run again, repaired, upgraded and removed, each run
// failing now and then. A small model of the package's promises says
// which runs of the tool each package run makes (and what its rollback runs),
// and what the product then remembers; play() holds the machine to the exe
// run directly with those options, and the product to the model.
//
// VELTRAX_PACKAGE_HISTORY_SEED=N replays the history of seed N (each history
// prints its seed); VELTRAX_PACKAGE_HISTORIES sets how many there are.
namespace fleet {

enum class Slot { no_key, no_value, empty, other, utility };

struct Product {
    bool revision = false;  // the next version in the fourth field, else this build's
    bool panel = false;     // remembers PANEL=1
    bool owns_entry = false;
    bool owns_placement = false;
};

struct Fleet {
    bool placed = false;  // the plug-in registration that -i writes and -u deletes
    Slot slot = Slot::no_key;
    std::optional<Product> product;
};

// One run of the tool on the model, added to `runs`.
void tool(Fleet& f, const std::string& option, std::string& runs) {
    runs += (runs.empty() ? "" : " ") + option;
    if (option == "-i") f.placed = true;
    if (option == "-u") f.placed = false;
    if (option == "-panelOn" && f.slot == Slot::empty) f.slot = Slot::utility;
    if (option == "-panelOff" && f.slot == Slot::utility) f.slot = Slot::empty;
    if ((option == "-panelOn" || option == "-panelOff") && f.slot == Slot::no_key) f.slot = Slot::no_value;
}

enum class Kind { install, repair, uninstall };  // an install on an installed product: an upgrade or a rerun

struct Run {
    Kind kind;
    bool revision;                     // the package of the next version
    std::optional<std::string> panel;  // PANEL given
    bool fails;                        // STAGED_FAILURE after the last run of the tool
};

std::string describe(const Run& run) {
    std::string line = std::string(run.kind == Kind::uninstall ? "/x " : "/i ") + (run.revision ? "failing-revision" : "failing");
    if (run.kind == Kind::repair) line += " REINSTALL=ALL REINSTALLMODE=vomus";
    if (run.panel) line += " PANEL=" + *run.panel;
    if (run.fails) line += std::string(" STAGED_FAILURE=") + (run.kind == Kind::uninstall ? "uninstall" : "install");
    return line;
}

// What the package promises for `run` on the machine `f`: the step to play,
// with `f` moved to the state after it. Sets `wine_differs` where Wine's
// msiexec leaves the product otherwise than Windows (the history ends there).
Step package_run(Fleet& f, const Run& run, bool& wine_differs) {
    Step step{describe(run), ""};
    step.fails = run.fails;
    const std::optional<Product> before = f.product;
    const bool upgrade = before && run.kind == Kind::install && run.revision && !before->revision;
    const bool remembered = before && before->panel;
    // The installed product run again with another PANEL is the repair that takes it.
    const bool other_panel = run.panel && (*run.panel == "1") != remembered;
    const Kind kind = before && run.kind == Kind::install && !upgrade && other_panel ? Kind::repair : run.kind;
    const bool rerun = before && kind == Kind::install && !upgrade;  // it rewrites nothing the product remembers
    const bool placed_before = f.placed, slot_was_on = f.slot == Slot::utility;
    std::vector<std::string> rollbacks;  // each run's rollback, as scheduled
    const auto run_tool = [&](const char* option, bool with_rollback, const char* rollback) {
        if (with_rollback) rollbacks.emplace_back(rollback);
        if (option != nullptr) tool(f, option, step.tool_runs);
    };
    const char* const placement_back = placed_before ? "-i" : "-u";
    const char* const entry_back = slot_was_on ? "-panelOn" : "-panelOff";
    std::optional<Product> after;
    if (run.kind == Kind::uninstall || upgrade) {  // an upgrade's inside its own transaction
        if (before->owns_entry) run_tool("-panelOff", true, entry_back);
        if (before->owns_placement) run_tool("-u", true, placement_back);
    }
    if (run.kind != Kind::uninstall) {
        const bool panel = run.panel ? *run.panel == "1" : remembered;
        const bool owned = before && before->owns_entry;
        const bool owns_entry = rerun ? owned : panel && (!slot_was_on || owned);
        if (kind == Kind::repair && owned && !panel) run_tool("-panelOff", true, entry_back);
        run_tool("-i", true, placement_back);
        run_tool(panel && owns_entry ? "-panelOn" : nullptr, (panel && owns_entry) || slot_was_on, entry_back);
        after = rerun ? before : Product{run.revision, panel, owns_entry, before ? before->owns_placement : !placed_before};
    }
    if (!run.fails) {
        f.product = after;
        return step;
    }
    // The scheduled rollback, the last first, gives back the machine as it
    // was; Wine's msiexec rolls a failed repair back not at all, and drops
    // the product of any other failed run that had one before it.
    for (auto option = rollbacks.rbegin(); option != rollbacks.rend(); ++option) {
        step.rollback += (step.rollback.empty() ? "" : " ") + *option;
        if (!under_wine() || kind != Kind::repair) tool(f, *option, step.tool_runs);
    }
    if (upgrade) step.rollback.clear();  // the old version's part is in its own package's log
    f.product = before;
    wine_differs = under_wine() && before && kind != Kind::repair;
    return step;
}

std::string product_text(const std::optional<Product>& product, const std::string& version, const std::string& revision) {
    if (!product) return "none";
    std::string text = product->revision ? revision : version;
    if (product->panel) text += " panel";
    if (product->owns_entry) text += " owns-entry";
    if (product->owns_placement) text += " owns-placement";
    return text;
}

// A random start machine and history of `length` steps from `seed`.
Scenario history(unsigned seed, unsigned length) {
    std::mt19937 random(seed);
    const std::string version = package_property("base", "ProductVersion");
    const std::string revision = package_property("revision", "ProductVersion");
    Fleet f;
    const unsigned utility = random() % 3;  // absent, in x86, placed by the maker's setup
    f.placed = utility == 2;
    f.slot = static_cast<Slot>(random() % 5);
    const Slot slot = f.slot;
    Scenario scenario{"", [utility, slot](const Machine& m) {
                          if (utility > 0) x86_layout(m);
                          if (utility == 2) m.run({"-i"});
                          if (slot == Slot::no_value) m.reg_create(model::slot_key);
                          if (slot == Slot::empty) m.reg_set(model::slot_key, "Application", 2, model::sz_bytes(""));
                          if (slot == Slot::other) m.reg_set(model::slot_key, "Application", 2, model::sz_bytes("C:\\other.exe"));
                          if (slot == Slot::utility) {
                              m.reg_set(model::slot_key, "Application", 2, model::sz_bytes(model::utility_exe));
                          }
                      },
                      {}, {}};
    const char* const options[] = {"-i", "-u", "-panelOn", "-panelOff"};
    const std::optional<std::string> panels[] = {std::nullopt, "0", "1"};
    for (unsigned n = 0; n < length; ++n) {
        const auto panel = panels[random() % 3];
        const bool fails = random() % 4 == 0;
        const unsigned pick = random() % 10;
        if (pick < 3) {
            std::string runs;
            tool(f, options[random() % 4], runs);
            scenario.steps.push_back({"", runs});
            continue;
        }
        Run run{Kind::install, random() % 2 == 0, panel, fails};
        if (f.product) {
            run.kind = static_cast<Kind>((pick - 3) % 3);
            // A lower version is refused: an install is an upgrade or a rerun.
            run.revision = f.product->revision || (run.kind == Kind::install && run.revision);
            if (run.kind == Kind::uninstall) run.panel.reset();
        }
        // The installed exe deleted before an uninstall, an upgrade or a repair that succeeds (one
        // that fails gives the machine back without it); the maker's setup updating the utility.
        const bool exe_goes = f.product && !fails && (run.kind != Kind::install || run.revision != f.product->revision);
        bool wine_differs = false;
        Step step = package_run(f, run, wine_differs);
        if (random() % 4 == 0) step.first = exe_goes && random() % 2 == 0 ? delete_installed_exe : maker_updates_utility;
        step.product = wine_differs ? "" : product_text(f.product, version, revision);
        scenario.steps.push_back(step);
        if (wine_differs) {
            scenario.product_as_on_windows_only = true;
            break;
        }
    }
    if (f.product) scenario.installed = {f.product->revision ? revision : version};
    return scenario;
}

}  // namespace fleet

class PackageHistory : public ::testing::TestWithParam<unsigned> {};

TEST_P(PackageHistory, EachStepLeavesWhatThePackagePromises) {
    ASSERT_FALSE(package_property("base", "ProductCode").empty()) << "no package at " << package("base");
    const unsigned seed = GetParam();
    const Scenario scenario = fleet::history(seed, testing::tier_setting("VELTRAX_PACKAGE_HISTORY_STEPS", 10, 8));
    std::string told;
    for (const Step& step : scenario.steps) {
        told += step.first == delete_installed_exe ? "\n  exe deleted" : step.first == maker_updates_utility ? "\n  maker updates utility" : "";
        told += "\n  " + (step.msiexec.empty() ? "tool " + step.tool_runs : step.msiexec);
    }
    const std::string replay = "VELTRAX_PACKAGE_HISTORY_SEED=" + std::to_string(seed) + ":" + told;
    std::printf("%s\n", replay.c_str());
    SCOPED_TRACE(replay);
    const std::vector<model::Snapshot> direct = play(scenario, true);
    const std::vector<model::Snapshot> packaged = play(scenario, false);
    for (std::size_t step = 0; step < direct.size(); ++step) {
        EXPECT_TRUE(packaged[step] == direct[step]) << "after step " << step + 1 << ":\n"
                                                    << model::diff(direct[step], packaged[step]);
    }
}

unsigned first_history_seed() {
    const char* text = std::getenv("VELTRAX_PACKAGE_HISTORY_SEED");
    return text != nullptr ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : 20261209;
}

INSTANTIATE_TEST_SUITE_P(
    Seed, PackageHistory,
    ::testing::Range(first_history_seed(),
                     first_history_seed() + (std::getenv("VELTRAX_PACKAGE_HISTORY_SEED")
                                                 ? 1
                                                 : testing::tier_setting("VELTRAX_PACKAGE_HISTORIES",
                                                                         VELTRAX_PACKAGE_HISTORIES,
                                                                         VELTRAX_PACKAGE_QUICK_HISTORIES))),
    [](const ::testing::TestParamInfo<unsigned>& info) { return std::to_string(info.param); });

// The last scenario's product is removed when the program ends.
class RemoveProducts : public ::testing::Environment {
    void TearDown() override { remove_products(Machine()); }
};
const auto* const remove_products_at_the_end = ::testing::AddGlobalTestEnvironment(new RemoveProducts);

}  // namespace
}  // namespace veltrax
