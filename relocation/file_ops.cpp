#include "relocation/file_ops.h"

#include <cstring>
#include <initializer_list>

#include "platform/platform.h"

namespace veltrax {

bool compose_path(PathBuffer& out, const char* first, const char* second, const char* third, const char* fourth) {
    std::size_t length = 0;
    for (const char* part : {first, second, third, fourth}) {
        const std::size_t size = std::strlen(part);
        if (size >= out.size() - length) {  // the terminating NUL needs a place too
            out[0] = '\0';
            return false;
        }
        std::memcpy(out.data() + length, part, size);
        length += size;
    }
    out[length] = '\0';
    return true;
}

const char* format_decimal(unsigned long value, DecimalBuffer& out) {
    char* first = out.data() + out.size() - 1;
    *first = '\0';
    do {
        *--first = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return first;
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
    DecimalBuffer pid;
    PathBuffer temporary;
    if (!compose_path(temporary, destination, ".", format_decimal(platform::process_id(), pid), ".tmp")) return;

    if (!write_temporary(input, temporary.data()) || !platform::replace_file(temporary.data(), destination)) {
        platform::remove_file(temporary.data());
    }
}

}  // namespace veltrax
