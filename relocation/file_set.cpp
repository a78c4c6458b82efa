#include "relocation/file_set.h"

#include <cstring>

#include "platform/platform.h"
#include "relocation/file_ops.h"

namespace veltrax {

namespace {

bool is_language_resource(const char* entry) { return std::strstr(entry, language_marker) != nullptr; }

// Cuts `count` characters off the end of a composed path.
void drop_tail(PathBuffer& path, std::size_t count) {
    const std::size_t length = std::strlen(path.data());
    path[length >= count ? length - count : 0] = '\0';
}

}  // namespace

void move_file_set(const char* source_root, const char* destination_root) {
    const std::size_t marker_length = std::strlen(language_marker);
    for (const char* entry : relocated_file_set) {
        PathBuffer source;
        PathBuffer destination;
        PathBuffer folder;
        if (!compose_path(source, source_root, "\\", entry) ||
            !compose_path(destination, destination_root, "\\", entry)) {
            continue;
        }
        if (is_language_resource(entry)) {
            folder = destination;
            drop_tail(folder, marker_length);  // keeps the separator: "...\CS-CZ\"
        } else if (!compose_path(folder, destination_root, "\\")) {
            continue;
        }
        make_directory_path(folder.data());
        platform::rename_file(source.data(), destination.data());
    }
}

void remove_language_dirs(const char* root) {
    const std::size_t cut = std::strlen(language_marker) + 1;  // the marker and the separator before it
    for (const char* entry : relocated_file_set) {
        if (!is_language_resource(entry)) continue;
        PathBuffer folder;
        if (!compose_path(folder, root, "\\", entry)) continue;
        drop_tail(folder, cut);
        platform::remove_directory(folder.data());
    }
}

}  // namespace veltrax
