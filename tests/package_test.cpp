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
// msiexec's exit when the install fails: ERROR_INSTALL_FAILURE on Windows;
// Wine says ERROR_FUNCTION_FAILED when a custom action failed.
bool is_install_failure(std::uint32_t code) { return code == 1603 || code == 1627; }

std::string package(const std::string& name) {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string self(path, length);
    return self.substr(0, self.find_last_of('\\')) + "\\packages\\" + name + ".msi";
}

// A property of a package file, read from its Property table.
std::string package_property(const std::string& name, const char* property) {
    MSIHANDLE database = 0;
    MSIHANDLE view = 0;
    MSIHANDLE record = 0;
    std::string value;
    const std::string query = std::string("SELECT `Value` FROM `Property` WHERE `Property` = '") + property + "'";
    if (MsiOpenDatabaseA(package(name).c_str(), MSIDBOPEN_READONLY, &database) == ERROR_SUCCESS &&
        MsiDatabaseOpenViewA(database, query.c_str(), &view) == ERROR_SUCCESS && MsiViewExecute(view, 0) == ERROR_SUCCESS &&
        MsiViewFetch(view, &record) == ERROR_SUCCESS) {
        char text[256];
        DWORD size = sizeof text;
        if (MsiRecordGetStringA(record, 1, text, &size) == ERROR_SUCCESS) value.assign(text, size);
    }
    for (MSIHANDLE handle : {record, view, database}) {
        if (handle != 0) MsiCloseHandle(handle);
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

void nothing(const Machine&) {}

struct Step {
    std::vector<std::string> msiexec;    // the package's command line; empty for a step of the exe alone
    std::vector<std::string> tool_runs;  // what the exe run directly does for it, in order
    bool fails = false;                  // msiexec's exit says the install failed
    bool drop_registration = false;      // a step of neither: the plug-in key is deleted by hand
};

struct Scenario {
    const char* name;
    void (*seed)(const Machine&);
    std::vector<Step> steps;
    std::vector<std::string> installed;  // the product versions registered at the end
    // Wine's rollback of a failed uninstall restores the files but not the
    // product's registration, which Windows keeps: only the files are checked.
    bool registration_as_on_windows_only = false;
};

const std::string base = "base";
const std::string revision = "revision";  // one higher in the fourth field
const std::string minor = "minor";        // one higher in the second field
const std::string failing = "failing";    // base, with STAGED_FAILURE=install or uninstall

std::vector<std::string> install(const std::string& name, std::vector<std::string> properties = {}) {
    std::vector<std::string> line = {"/i", package(name), "/qn"};
    line.insert(line.end(), properties.begin(), properties.end());
    return line;
}

std::vector<std::string> uninstall(const std::string& name, std::vector<std::string> properties = {}) {
    std::vector<std::string> line = {"/x", package(name), "/qn"};
    line.insert(line.end(), properties.begin(), properties.end());
    return line;
}

std::vector<Scenario> scenarios() {
    const std::string version = package_property(base, "ProductVersion");
    const std::string upgrading = "UPGRADINGPRODUCTCODE=" + package_property(revision, "ProductCode");
    return {
        {"Install", x86_layout, {{install(base), {"-i"}}}, {version}},
        {"InstallOnAMachineWithoutTheUtility", nothing, {{install(base), {"-i"}}}, {version}},
        {"InstallWithPanel", x86_layout_and_slot, {{install(base, {"PANEL=1"}), {"-i", "-panelOn"}}}, {version}},
        {"PanelOtherThanOneRunsNoPanelOn", x86_layout_and_slot, {{install(base, {"PANEL=yes"}), {"-i"}}}, {version}},
        {"UninstallUndoesWhatTheInstallDid",
         x86_layout_and_slot,
         {{install(base, {"PANEL=1"}), {"-i", "-panelOn"}}, {uninstall(base), {"-panelOff", "-u"}}},
         {}},
        {"UninstallLeavesAPanelEntryItDidNotMake",
         x86_layout_and_slot,
         {{install(base), {"-i"}}, {{}, {"-panelOn"}}, {uninstall(base), {"-u"}}},
         {}},
        {"RepairBringsBackTheRegistration",
         x86_layout,
         {{install(base), {"-i"}},
          {{}, {}, false, true},
          {install(base, {"REINSTALL=ALL", "REINSTALLMODE=vomus"}), {"-i"}}},
         {version}},
        {"UpgradeInTheFourthFieldKeepsThePanel",
         x86_layout_and_slot,
         {{install(base, {"PANEL=1"}), {"-i", "-panelOn"}}, {install(revision), {"-panelOff", "-u", "-i", "-panelOn"}}},
         {package_property(revision, "ProductVersion")}},
        {"UpgradeInTheSecondField",
         x86_layout,
         {{install(base), {"-i"}}, {install(minor), {"-u", "-i"}}},
         {package_property(minor, "ProductVersion")}},
        {"UpgradeTheWayWindowsRemovesTheOldVersion",
         x86_layout,
         {{install(base), {"-i"}}, {uninstall(base, {upgrading}), {"-u"}}, {install(revision), {"-i"}}},
         {package_property(revision, "ProductVersion")}},
        {"DowngradeInTheFourthFieldIsRefused",
         x86_layout,
         {{install(revision), {"-i"}}, {install(base), {}, true}},
         {package_property(revision, "ProductVersion")}},
        {"DowngradeInTheSecondFieldIsRefused",
         x86_layout,
         {{install(minor), {"-i"}}, {install(base), {}, true}},
         {package_property(minor, "ProductVersion")}},
        {"FailureAfterThePlacementRollsItBack",
         x86_layout_and_slot,
         {{install(failing, {"PANEL=1", "STAGED_FAILURE=install"}), {"-i", "-panelOn", "-panelOff", "-u"}, true}},
         {}},
        {"FailureAfterTheUninstallRollsItBack",
         x86_layout_and_slot,
         {{install(failing, {"PANEL=1"}), {"-i", "-panelOn"}},
          {uninstall(failing, {"STAGED_FAILURE=uninstall"}), {"-panelOff", "-u", "-i", "-panelOn"}, true}},
         {version},
         true},
    };
}

// Runs the scenario's steps, through msiexec or, with `direct`, through the
// exe alone; returns the machine's state at the end.
model::Snapshot play(const Scenario& scenario, bool direct) {
    remove_products(Machine());
    Machine machine;
    scenario.seed(machine);
    for (const Step& step : scenario.steps) {
        if (step.drop_registration) machine.reg_delete_tree(model::plugin_key);
        if (!step.msiexec.empty() && !direct) {
            const std::uint32_t code = machine.run(step.msiexec, msiexec).exit_code;
            EXPECT_TRUE(step.fails ? is_install_failure(code) : code == 0)
                << step.msiexec[0] << " " << step.msiexec[1] << " exited " << code;
            continue;
        }
        for (const std::string& option : step.tool_runs) EXPECT_EQ(machine.run({option}).exit_code, 0u) << option;
    }
    if (!direct) {
        if (!scenario.registration_as_on_windows_only) {
            EXPECT_EQ(installed_versions(), scenario.installed) << "registered products";
        }
        EXPECT_EQ(machine.exists(install_dir + "\\veltrax-place.exe"), !scenario.installed.empty());
        if (scenario.installed.empty()) {
            EXPECT_FALSE(machine.exists(install_dir)) << "the package's folder is removed";
        }
    }
    return model::take(machine);
}

TEST(Package, EveryScenarioDoesExactlyWhatTheExeDoesAndRegistersTheProductAsItSays) {
    ASSERT_FALSE(package_property(base, "ProductCode").empty()) << "no package at " << package(base);
    for (const Scenario& scenario : scenarios()) {
        SCOPED_TRACE(scenario.name);
        const model::Snapshot direct = play(scenario, true);
        const model::Snapshot packaged = play(scenario, false);
        EXPECT_TRUE(packaged == direct) << model::diff(direct, packaged);
    }
    remove_products(Machine());
}

}  // namespace
}  // namespace veltrax
