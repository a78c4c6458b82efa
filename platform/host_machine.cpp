// The Linux machine folder and the mapping of Windows paths into it.
#include "platform/host_machine.h"

#include <cstdlib>

namespace veltrax::platform::host {

namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

}  // namespace

const char* machine_root() {
    const char* root = std::getenv("VELTRAX_PLACE_ROOT");
    return (root != nullptr && root[0] != '\0') ? root : ".";
}

bool machine_file(const char* name, HostPath& out) {
    return out.append(machine_root()) && out.append("/") && out.append(name);
}

bool map_path(const char* path, HostPath& out, bool* drive_only) {
    if (path == nullptr || (path[0] != 'C' && path[0] != 'c') || path[1] != ':') return false;
    const char* rest = path + 2;
    if (rest[0] != '\0' && !is_separator(rest[0])) return false;  // "C:foo" is relative to a current folder
    if (!machine_file("drive_c", out)) return false;

    bool only_separators = true;
    const char* component = rest;
    for (const char* p = rest;; ++p) {
        if (*p != '\0' && !is_separator(*p)) continue;
        const auto size = static_cast<std::size_t>(p - component);
        if (size == 2 && component[0] == '.' && component[1] == '.') return false;
        if (size > 0) only_separators = false;
        if (!out.append(component, size)) return false;
        if (*p == '\0') break;
        if (!out.append("/")) return false;
        component = p + 1;
    }
    if (drive_only != nullptr) *drive_only = only_separators;
    return true;
}

}  // namespace veltrax::platform::host
