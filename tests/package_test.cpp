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
#include <string>
#include <vector>

#include "tests/support/machine.h"
#include "tests/support/model.h"

namespace veltrax {
namespace {

namespace model = testing::model;
using testing::Machine;

const char* const msiexec = "C:\\windows\\system32\\msiexec.exe";
const char* const upgrade_code = "{8CF832A1-8C7D-479D-A1B6-51AFAC40EF5C}";
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

// A property of a package file, read from its Property table.
std::string package_property(const std::string& name, const std::string& property) {
    PMSIHANDLE database, view, record;
    const std::string query = "SELECT `Value` FROM `Property` WHERE `Property` = '" + property + "'";
    char value[256] = "";
    DWORD size = sizeof value;
    if (MsiOpenDatabaseA(package(name).c_str(), MSIDBOPEN_READONLY, &database) == ERROR_SUCCESS &&
        MsiDatabaseOpenViewA(database, query.c_str(), &view) == ERROR_SUCCESS && MsiViewExecute(view, 0) == ERROR_SUCCESS &&
        MsiViewFetch(view, &record) == ERROR_SUCCESS) {
        MsiRecordGetStringA(record, 1, value, &size);
    }
    return value;
}

// The versions of every installed product of this upgrade code.
std::vector<std::string> installed_versions() {
    std::vector<std::string> versions;
    char code[39];
    for (DWORD index = 0; MsiEnumRelatedProductsA(upgrade_code, 0, index, code) == ERROR_SUCCESS; ++index) {
        char version[64];
        DWORD size = sizeof version;
        MsiGetProductInfoA(code, INSTALLPROPERTY_VERSIONSTRING, version, &size);
        versions.emplace_back(version, size);
    }
    return versions;
}

// Removes every installed product of this upgrade code and what it may have left.
void remove_products(const Machine& m) {
    for (int round = 0; round < 3; ++round) {
        char code[39];
        if (MsiEnumRelatedProductsA(upgrade_code, 0, 0, code) != ERROR_SUCCESS) break;
        m.run({"/x", code, "/qn"}, msiexec);
    }
    m.remove_tree(install_dir);
    m.reg_delete_tree("SOFTWARE\\veltrax-place");
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

// msiexec's command line ("/i base PANEL=1": a package's name stands for its
// file; /qn is added), and what the exe run directly does for it ("-i -u").
// A step without a command line runs the exe alone, on both sides.
struct Step {
    std::string msiexec;
    std::string tool_runs;
    bool fails = false;                // msiexec's exit says the install failed
    bool drop_registration = false;    // first, the plug-in key is deleted by hand
};

struct Scenario {
    const char* name;
    void (*seed)(const Machine&);
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
        {"UninstallUndoesWhatTheInstallDid", x86_layout_and_slot,
         {{"/i base PANEL=1", "-i -panelOn"}, {"/x base", "-panelOff -u"}}, {}},
        {"UninstallLeavesAPanelEntryItDidNotMake", x86_layout_and_slot,
         {{"/i base", "-i"}, {"", "-panelOn"}, {"/x base", "-u"}}, {}},
        {"RepairBringsBackTheRegistration", x86_layout,
         {{"/i base", "-i"}, {"/i base REINSTALL=ALL REINSTALLMODE=vomus", "-i", false, true}}, {version}},
        {"PanelOnBeforeTheInstallIsLeftOn", x86_layout_and_slot_on<2>,
         {{"/i base PANEL=1", "-i"}, {"/x base", "-u"}}, {}},
        {"PanelOnBeforeAFailedInstallIsLeftOn", x86_layout_and_slot_on<1>,
         {{"/i failing PANEL=1 STAGED_FAILURE=install", "-i -u", true}}, {}},
        {"UpgradeInTheFourthFieldKeepsThePanelTheFirstVersionMadeUntilTheLastGoes", x86_layout_and_slot,
         {{"/i base PANEL=1", "-i -panelOn"}, {"/i revision", "-panelOff -u -i -panelOn"}, {"/x revision", "-panelOff -u"}},
         {}},
        {"PanelOnBeforeTheFirstVersionOutlivesTheLast", x86_layout_and_slot_on<3>,
         {{"/i base PANEL=1", "-i"}, {"/i revision", "-u -i"}, {"/x revision", "-u"}}, {}},
        {"PanelZeroAtAnUpgradeSwitchesTheEntryOffForGood", x86_layout_and_slot,
         {{"/i base PANEL=1", "-i -panelOn"}, {"/i revision PANEL=0", "-panelOff -u -i"},
          {"/i revision REINSTALL=ALL REINSTALLMODE=vomus", "-i"}},
         {revision}},
        {"RepairWithPanelZeroStillLeavesTheEntryToTheUninstall", x86_layout_and_slot,
         {{"/i base PANEL=1", "-i -panelOn"}, {"/i base REINSTALL=ALL REINSTALLMODE=vomus PANEL=0", "-i"},
          {"/x base", "-panelOff -u"}},
         {}},
        {"UpgradeInTheSecondField", x86_layout, {{"/i base", "-i"}, {"/i minor", "-u -i"}}, {minor}},
        {"OldVersionRemovedTheWayWindowsUpgradesIt", x86_layout_and_slot,
         {{"/i base PANEL=1", "-i -panelOn"}, {"/x base " + upgrading, "-panelOff -u"}}, {}},
        {"DowngradeInTheFourthFieldIsRefused", x86_layout, {{"/i revision", "-i"}, {"/i base", "", true}}, {revision}},
        {"DowngradeInTheSecondFieldIsRefused", x86_layout, {{"/i minor", "-i"}, {"/i base", "", true}}, {minor}},
        {"FailureAfterThePlacementRollsItBack", x86_layout_and_slot,
         {{"/i failing PANEL=1 STAGED_FAILURE=install", "-i -panelOn -panelOff -u", true}}, {}},
        {"FailureAfterTheUninstallRollsItBack", x86_layout_and_slot,
         {{"/i failing PANEL=1", "-i -panelOn"},
          {"/x failing STAGED_FAILURE=uninstall", "-panelOff -u -i -panelOn", true}},
         {version}, true},
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

// What the installed product remembers (its values in HKLM\SOFTWARE\veltrax-place).
std::string memo(const Machine& m) {
    std::string text;
    for (const char* name : {"Panel", "PanelOwned", "VersionBase", "Revision"}) {
        const auto value = m.reg_get("SOFTWARE\\veltrax-place", name);
        text += std::string(name) + "=" + (value ? value->data.c_str() : "(none)") + " ";
    }
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
        if (step.drop_registration) machine.reg_delete_tree(model::plugin_key);
        if (!step.msiexec.empty() && !direct) {
            std::vector<std::string> line = words(step.msiexec);
            line.push_back("/qn");
            const std::string remembered = memo(machine);
            const std::uint32_t code = machine.run(line, msiexec).exit_code;
            EXPECT_TRUE(step.fails ? is_install_failure(code) : code == 0) << step.msiexec << " exited " << code;
            // A run that failed changed nothing the product remembers.
            if (step.fails && product_checked) {
                EXPECT_EQ(memo(machine), remembered) << step.msiexec;
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

// The last scenario's product is removed when the program ends.
class RemoveProducts : public ::testing::Environment {
    void TearDown() override { remove_products(Machine()); }
};
const auto* const remove_products_at_the_end = ::testing::AddGlobalTestEnvironment(new RemoveProducts);

}  // namespace
}  // namespace veltrax
