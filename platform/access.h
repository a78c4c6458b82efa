// What the platform files need of the seam's handle types, and the logic does
// not: the FILE behind a stream, a key's handle, and making them. Included by
// the platform's own files only.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

namespace veltrax::platform {

struct Access {
    static Stream stream(std::FILE* file) {
        Stream stream;
        stream.file_ = file;
        return stream;
    }
    static std::FILE* file(const Stream& stream) { return stream.file_; }
    static void mark_failed(Stream& stream) { stream.failed_ = true; }
    static bool marked_failed(const Stream& stream) { return stream.failed_; }
    // Takes the FILE out of the stream, which is then empty.
    static std::FILE* release(Stream& stream) {
        std::FILE* taken = stream.file_;
        stream.file_ = nullptr;
        return taken;
    }

    static Key key(std::uintptr_t handle) { return Key(handle); }
    static std::uintptr_t handle(const Key& key) { return key.handle_; }

    static Buffer buffer(void* data, std::size_t size) { return Buffer(data, size); }
};

}  // namespace veltrax::platform
