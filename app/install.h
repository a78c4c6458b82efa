// The install and uninstall sequences behind "-i" and "-u".
#pragma once

namespace veltrax {

inline constexpr const char* native_utilities_root = "C:\\Program Files\\VELTRAX\\Utilities";
inline constexpr const char* x86_utilities_root = "C:\\Program Files (x86)\\VELTRAX\\Utilities";
inline constexpr const char* native_startmenu_dir = "C:\\Program Files\\VELTRAX\\Startmenu\\";
inline constexpr const char* native_startmenu_library = "C:\\Program Files\\VELTRAX\\Startmenu\\Orbandisplex.dll";
inline constexpr const char* x86_startmenu_library = "C:\\Program Files (x86)\\VELTRAX\\Startmenu\\Orbandisplex.dll";

// Moves the utility into the native folder, provides the start-menu library
// there and registers the notification plug-in. Every step is attempted.
void run_install();

// Moves the utility back into the x86 folder, removes the empty native
// language folders and the plug-in registration. Every step is attempted.
void run_uninstall();

}  // namespace veltrax
