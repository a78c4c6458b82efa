#include "registry_settings/panel_entry.h"

#include <cstring>

#include "platform/platform.h"

namespace veltrax {

namespace {

enum class Fill { utility, empty };

// Writes the slot's four values when "Application" reads exactly `guard`.
void switch_slot(const char* guard, Fill fill) {
    const platform::Key key = platform::create_key(panel_slot_key);
    if (!key) return;

    std::array<char, panel_read_offer + 1> current{};  // the extra zero always ends the text
    auto offered = static_cast<std::uint32_t>(panel_read_offer);
    if (platform::query_value(key, panel_application_value, current.data(), &offered) !=
        platform::QueryResult::ok) {
        return;
    }
    if (std::strcmp(current.data(), guard) != 0) return;

    for (const PanelValue& value : panel_values) {
        const char* text = fill == Fill::utility ? value.on : "";
        const auto size = static_cast<std::uint32_t>(std::strlen(text) + 1);
        platform::set_value(key, value.name, platform::reg_expand_sz, text, size);
    }
}

}  // namespace

void enable_panel_entry() { switch_slot("", Fill::utility); }

void disable_panel_entry() { switch_slot(panel_application_path, Fill::empty); }

}  // namespace veltrax
