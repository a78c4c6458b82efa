// The notification plug-in's registration under HKEY_LOCAL_MACHINE.
#pragma once

namespace veltrax {

inline constexpr const char* notify_parent_key = "SOFTWARE\\Veltrax\\Glimmertab\\Notify";
inline constexpr const char* notify_plugin_id = "{7C3A91E4-2B58-4f1d-A6C0-93E5D17B2F08}";
inline constexpr const char* notify_plugin_key =
    "SOFTWARE\\Veltrax\\Glimmertab\\Notify\\{7C3A91E4-2B58-4f1d-A6C0-93E5D17B2F08}";
inline constexpr const char* notify_dll_value = "DllName";
inline constexpr const char* notify_dll_path = "C:\\Program Files\\VELTRAX\\Utilities\\Wendrix.dll";

// Creates the plug-in key (and its parents) and stores "DllName" as REG_SZ.
void register_notify_plugin();

// Deletes the plug-in key; its parent keys stay.
void unregister_notify_plugin();

}  // namespace veltrax
