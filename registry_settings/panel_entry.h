// The utility's entry in slot 3 of the battery meter's context menu.
#pragma once

#include <array>
#include <cstddef>

namespace veltrax {

inline constexpr const char* panel_slot_key =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Applets\\SysTray\\BattMeter\\ContextMenu\\3";

inline constexpr const char* panel_application_value = "Application";

// The utility's own "Application": what "-panelOff" looks for.
inline constexpr const char* panel_application_path = "C:\\Program Files\\VELTRAX\\Utilities\\Corvint.exe";

struct PanelValue {
    const char* name;
    const char* on;  // the utility's entry
};

// The slot's four values, in the order they are written. "Application" comes
// last: it is what both options look at first, so a run cut short leaves it as
// it was, and running the same option again finishes the job.
inline constexpr std::array<PanelValue, 4> panel_values = {{
    {"ItemName", "@C:\\Program Files\\VELTRAX\\Utilities\\Corvint.dll,-201"},
    {"IconID", "@C:\\Program Files\\VELTRAX\\Utilities\\Corvint.exe,-10003"},
    {"Parameters", "/t:Boot"},
    {"Application", panel_application_path},
}};

// "Application" is read into a zeroed buffer one byte larger than the size offered.
inline constexpr std::size_t panel_read_offer = 512;

// Fills the slot with the utility's entry when its "Application" value is present and empty.
void enable_panel_entry();

// Empties the slot when its "Application" value names the utility.
void disable_panel_entry();

}  // namespace veltrax
