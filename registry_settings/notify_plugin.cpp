#include "registry_settings/notify_plugin.h"

#include <cstring>

#include "platform/platform.h"

namespace veltrax {

void register_notify_plugin() {
    const platform::Key key = platform::create_key(notify_plugin_key);
    if (!key) return;
    const auto size = static_cast<std::uint32_t>(std::strlen(notify_dll_path) + 1);
    platform::set_value(key, notify_dll_value, platform::reg_sz, notify_dll_path, size);
}

void unregister_notify_plugin() {
    const platform::Key parent = platform::open_key(notify_parent_key);
    if (!parent) return;
    platform::delete_key(parent, notify_plugin_id);
}

}  // namespace veltrax
