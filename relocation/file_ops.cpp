#include "relocation/file_ops.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace veltrax {

bool compose_path(PathBuffer& out, const char* first, const char* second, const char* third) {
    const int length = std::snprintf(out.data(), out.size(), "%s%s%s", first, second, third);
    if (length < 0 || static_cast<std::size_t>(length) >= out.size()) {
        out[0] = '\0';
        return false;
    }
    return true;
}

bool make_directory_path(char* path) {
    // A separator in the first position is never a cut point; an empty path has no second character.
    char* search = path[0] != '\0' ? path + 1 : path;
    for (char* separator = std::strpbrk(search, path_separators); separator != nullptr;
         separator = std::strpbrk(separator + 1, path_separators)) {
        const char kept = *separator;
        *separator = '\0';
        platform::create_directory(path);
        *separator = kept;
    }
    platform::create_directory(path);
    return platform::path_exists(path);
}

namespace {

// Fills the temporary with the source's bytes; true only when every byte reached the disk.
bool write_temporary(platform::Stream& source, const char* temporary) {
    platform::Stream target = platform::open_stream(temporary, "wb");
    if (!target) return false;
    const platform::Buffer buffer = platform::allocate(copy_block_size);
    bool complete = static_cast<bool>(buffer);
    while (complete) {
        const std::size_t count = platform::read_stream(source, buffer.data(), copy_block_size);
        if (count == 0) break;
        complete = platform::write_stream(target, buffer.data(), count) == count;
    }
    complete = complete && !platform::stream_failed(source) && !platform::stream_failed(target);
    complete = complete && platform::flush_stream_to_disk(target);
    return platform::close_stream(target) && complete;
}

}  // namespace

void copy_file(const char* source, const char* destination) {
    platform::Stream input = platform::open_stream(source, "rb");
    if (!input) return;

    // The process id keeps two copies of the tool running at once off each other's temporary.
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%lu.tmp", platform::process_id());
    PathBuffer temporary;
    if (!compose_path(temporary, destination, suffix)) return;

    if (!write_temporary(input, temporary.data()) || !platform::replace_file(temporary.data(), destination)) {
        platform::remove_file(temporary.data());
    }
}

}  // namespace veltrax
