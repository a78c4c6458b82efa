#include "app/commands.h"

#include <cstring>

#include "app/install.h"
#include "registry_settings/panel_entry.h"

namespace veltrax {

const std::array<Command, 4> command_table = {{
    {"-i", run_install},
    {"-u", run_uninstall},
    {"-panelOn", enable_panel_entry},
    {"-panelOff", disable_panel_entry},
}};

int dispatch(int argc, const char* const* argv) {
    if (argc != 2 || argv == nullptr || argv[1] == nullptr) return exit_unrecognised;
    for (const Command& command : command_table) {
        if (std::strcmp(argv[1], command.option) != 0) continue;
        command.run();  // reports nothing: the option was recognised whatever became of its steps
        return exit_recognised;
    }
    return exit_unrecognised;
}

}  // namespace veltrax
