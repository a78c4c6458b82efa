// Folders and files on the Linux machine, and the process itself.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/access.h"
#include "platform/fault.h"
#include "platform/host_machine.h"
#include "platform/platform.h"

namespace veltrax::platform {

using fault::injected;
using fault::Op;
using host::HostPath;
using host::map_path;

// ------------------------------------------------------------------ folders

bool create_directory(const char* path) {
    if (injected(Op::create_directory)) return false;
    HostPath mapped;
    bool drive_only = false;
    if (!map_path(path, mapped, &drive_only) || drive_only) return false;
    return ::mkdir(mapped.c_str(), 0777) == 0;
}

bool remove_directory(const char* path) {
    if (injected(Op::remove_directory)) return false;
    HostPath mapped;
    bool drive_only = false;
    if (!map_path(path, mapped, &drive_only) || drive_only) return false;
    return ::rmdir(mapped.c_str()) == 0;
}

bool path_exists(const char* path) {
    if (injected(Op::path_exists)) return false;
    HostPath mapped;
    if (!map_path(path, mapped)) return false;
    struct stat info{};
    return ::stat(mapped.c_str(), &info) == 0;
}

// -------------------------------------------------------------------- files

bool rename_file(const char* from, const char* to) {
    if (injected(Op::rename_file)) return false;
    HostPath source;
    HostPath destination;
    if (!map_path(from, source) || !map_path(to, destination)) return false;
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without RENAME_NOREPLACE: a hard link refuses an existing name too.
    if (::link(source.c_str(), destination.c_str()) != 0) return false;
    if (::unlink(source.c_str()) == 0) return true;
    ::unlink(destination.c_str());
    return false;
}

bool replace_file(const char* from, const char* to) {
    if (injected(Op::replace_file)) return false;
    HostPath source;
    HostPath destination;
    if (!map_path(from, source) || !map_path(to, destination)) return false;
    if (::rename(source.c_str(), destination.c_str()) != 0) return false;
    // Make the new name itself durable, as MOVEFILE_WRITE_THROUGH does.
    const char* slash = std::strrchr(destination.c_str(), '/');  // a mapped path always has one
    destination.cut(static_cast<std::size_t>(slash - destination.c_str()) + 1);
    const int fd = ::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    return true;
}

bool remove_file(const char* path) {
    if (injected(Op::remove_file)) return false;
    HostPath mapped;
    if (!map_path(path, mapped)) return false;
    return ::unlink(mapped.c_str()) == 0;
}

Stream open_stream(const char* path, const char* mode) {
    if (injected(Op::open_stream)) return {};
    HostPath mapped;
    if (!map_path(path, mapped)) return {};
    struct stat info{};
    // msvcrt refuses to open a folder as a file; glibc would open it for reading.
    if (::stat(mapped.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return {};
    std::FILE* file = std::fopen(mapped.c_str(), mode);
    // The tool moves whole blocks; stdio's own buffer would only split and copy them again.
    if (file != nullptr) std::setvbuf(file, nullptr, _IONBF, 0);
    return Access::stream(file);
}

bool flush_stream_to_disk(Stream& stream) {
    if (!stream) return false;
    std::FILE* file = Access::file(stream);
    const bool flushed = !injected(Op::flush_stream) && std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
    if (!flushed) Access::mark_failed(stream);
    return flushed;
}

// ------------------------------------------------------------------ process

unsigned long process_id() { return static_cast<unsigned long>(::getpid()); }

#if defined(VELTRAX_FAULT_INJECTION)
void fault::end_process_now() {
    ::kill(::getpid(), SIGKILL);
    std::abort();  // not reached
}
#endif

}  // namespace veltrax::platform
