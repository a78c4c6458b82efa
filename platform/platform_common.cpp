// Stream and memory operations that are the same C runtime calls on every
// platform (msvcrt on Windows, the C library on Linux).
#include <cstdlib>

#include "platform/access.h"
#include "platform/fault.h"
#include "platform/platform.h"

namespace veltrax::platform {

using fault::injected;
using fault::Op;

Stream& Stream::operator=(Stream&& other) noexcept {
    if (this != &other) {
        if (file_ != nullptr) std::fclose(file_);
        file_ = other.file_;
        failed_ = other.failed_;
        other.file_ = nullptr;
    }
    return *this;
}

Stream::~Stream() {
    if (file_ != nullptr) std::fclose(file_);
}

std::size_t read_stream(Stream& stream, void* buffer, std::size_t size) {
    if (!stream) return 0;
    if (injected(Op::read_stream)) {
        Access::mark_failed(stream);
        return 0;
    }
    return std::fread(buffer, 1, size, Access::file(stream));
}

std::size_t write_stream(Stream& stream, const void* buffer, std::size_t size) {
    if (!stream) return 0;
    if (injected(Op::write_stream)) {
        // A full disk typically takes part of a block before it refuses the rest.
        Access::mark_failed(stream);
        return std::fwrite(buffer, 1, size / 2, Access::file(stream));
    }
    return std::fwrite(buffer, 1, size, Access::file(stream));
}

bool stream_failed(const Stream& stream) {
    return !stream || Access::marked_failed(stream) || std::ferror(Access::file(stream)) != 0;
}

bool close_stream(Stream& stream) {
    if (!stream) return false;
    const bool failed = injected(Op::close_stream);
    std::FILE* file = Access::release(stream);
    return std::fclose(file) == 0 && !failed;
}

Buffer::~Buffer() { std::free(data_); }

Buffer allocate(std::size_t size) {
    if (injected(Op::allocate)) return {};
    void* data = std::malloc(size);
    return data != nullptr ? Access::buffer(data, size) : Buffer();
}

}  // namespace veltrax::platform
