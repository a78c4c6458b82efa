// The platform seam on Windows: the "A" functions of kernel32 and advapi32,
// and msvcrt's file functions. This is the only file of the tool that sees
// <windows.h>.
#include <windows.h>

#include <io.h>

#include <cstdio>
#include <cstdlib>

#include "platform/access.h"
#include "platform/fault.h"
#include "platform/platform.h"

namespace veltrax::platform {

using fault::injected;
using fault::Op;

namespace {

HKEY to_hkey(std::uintptr_t handle) { return reinterpret_cast<HKEY>(handle); }

Key key_from(HKEY key) { return Access::key(reinterpret_cast<std::uintptr_t>(key)); }

}  // namespace

bool create_directory(const char* path) {
    if (injected(Op::create_directory)) return false;
    return CreateDirectoryA(path, nullptr) != 0;
}

bool remove_directory(const char* path) {
    if (injected(Op::remove_directory)) return false;
    return RemoveDirectoryA(path) != 0;
}

bool path_exists(const char* path) {
    if (injected(Op::path_exists)) return false;
    return _access(path, 0) == 0;
}

bool rename_file(const char* from, const char* to) {
    if (injected(Op::rename_file)) return false;
    // msvcrt's rename is MoveFile: it refuses an existing destination.
    return std::rename(from, to) == 0;
}

bool replace_file(const char* from, const char* to) {
    if (injected(Op::replace_file)) return false;
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool remove_file(const char* path) {
    if (injected(Op::remove_file)) return false;
    return DeleteFileA(path) != 0;
}

Stream open_stream(const char* path, const char* mode) {
    if (injected(Op::open_stream)) return {};
    return Access::stream(std::fopen(path, mode));
}

bool flush_stream_to_disk(Stream& stream) {
    if (!stream) return false;
    const bool flushed =
        !injected(Op::flush_stream) && std::fflush(Access::file(stream)) == 0 &&
        _commit(_fileno(Access::file(stream))) == 0;
    if (!flushed) Access::mark_failed(stream);
    return flushed;
}

Key::~Key() {
    if (open_) RegCloseKey(to_hkey(handle_));
}

Key create_key(const char* sub_key) {
    if (injected(Op::create_key)) return {};
    HKEY key = nullptr;
    DWORD disposition = 0;
    const LSTATUS status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, sub_key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_ALL_ACCESS, nullptr, &key, &disposition);
    return status == ERROR_SUCCESS ? key_from(key) : Key();
}

Key open_key(const char* sub_key) {
    if (injected(Op::open_key)) return {};
    HKEY key = nullptr;
    const LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, sub_key, 0, KEY_ALL_ACCESS, &key);
    return status == ERROR_SUCCESS ? key_from(key) : Key();
}

QueryResult query_value(const Key& key, const char* name, void* buffer, std::uint32_t* size) {
    if (!key || injected(Op::query_value)) return QueryResult::failed;
    DWORD count = *size;
    const LSTATUS status =
        RegQueryValueExA(to_hkey(Access::handle(key)), name, nullptr, nullptr, static_cast<BYTE*>(buffer), &count);
    switch (status) {
        case ERROR_SUCCESS:
            *size = count;
            return QueryResult::ok;
        case ERROR_FILE_NOT_FOUND:
            return QueryResult::no_value;
        case ERROR_MORE_DATA:
            return QueryResult::too_large;
        default:
            return QueryResult::failed;
    }
}

bool set_value(const Key& key, const char* name, std::uint32_t type, const void* data, std::uint32_t size) {
    if (!key || injected(Op::set_value)) return false;
    return RegSetValueExA(to_hkey(Access::handle(key)), name, 0, type, static_cast<const BYTE*>(data), size) ==
           ERROR_SUCCESS;
}

bool delete_key(const Key& key, const char* sub_key) {
    if (!key || injected(Op::delete_key)) return false;
    return RegDeleteKeyA(to_hkey(Access::handle(key)), sub_key) == ERROR_SUCCESS;
}

unsigned long process_id() { return GetCurrentProcessId(); }

#if defined(VELTRAX_FAULT_INJECTION)
void fault::end_process_now() {
    TerminateProcess(GetCurrentProcess(), fault::crash_exit_code);
    std::abort();  // not reached
}
#endif

}  // namespace veltrax::platform
