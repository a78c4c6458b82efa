// The Linux machine: a folder named by VELTRAX_PLACE_ROOT (the current folder
// when unset) stands for the Windows machine. Drive C is <root>/drive_c; "\"
// and "/" both separate; the drive letter matches in either case; any other
// drive, a relative path or a ".." component fails. Used by the Linux
// platform files only.
#pragma once

#include <climits>
#include <cstddef>
#include <cstring>

namespace veltrax::platform::host {

// A Linux path built from parts; once a part does not fit, it stays refused.
class HostPath {
public:
    bool append(const char* text, std::size_t size) {
        if (!ok_ || size >= sizeof data_ - length_) return ok_ = false;
        std::memcpy(data_ + length_, text, size);
        length_ += size;
        data_[length_] = '\0';
        return true;
    }
    bool append(const char* text) { return append(text, std::strlen(text)); }
    const char* c_str() const { return data_; }
    // Keeps the first `length` characters.
    void cut(std::size_t length) {
        length_ = length;
        data_[length_] = '\0';
    }

private:
    char data_[PATH_MAX] = {};
    std::size_t length_ = 0;
    bool ok_ = true;
};

// The machine folder.
const char* machine_root();

// Maps "C:\a\b" to "<root>/drive_c/a/b"; false for anything not on drive C.
// `drive_only` tells whether the path names the drive itself.
bool map_path(const char* path, HostPath& out, bool* drive_only = nullptr);

// "<root>/name": a file of the machine itself, outside drive C.
bool machine_file(const char* name, HostPath& out);

}  // namespace veltrax::platform::host
