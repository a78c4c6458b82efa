// The one seam between the tool's logic and the machine it runs on.
//
// Every file, folder, memory and registry effect of the tool goes through the
// operations declared here. There are two implementations, chosen by the
// build: platform_win.cpp (the Windows API and msvcrt), and on Linux
// host_machine.cpp (drive C is a folder), host_files.cpp and host_registry.cpp
// (HKEY_LOCAL_MACHINE is an SQLite database).
//
// Paths are narrow, NUL-terminated Windows paths ("C:\..."). Registry paths
// are relative to HKEY_LOCAL_MACHINE. No operation throws: the tool is built
// without exceptions, and no operation allocates through the C++ runtime.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace veltrax::platform {

// ---------------------------------------------------------------- folders

// Creates one folder whose parent exists; true when this call created it.
bool create_directory(const char* path);

// Removes a folder only if it is empty; true when it was removed.
bool remove_directory(const char* path);

// True when a file or folder exists at the path (existence only, like _access mode 0).
bool path_exists(const char* path);

// ------------------------------------------------------------------ files

// Moves a file to a new name; never replaces an existing destination (fails instead).
bool rename_file(const char* from, const char* to);

// Moves a file onto a new name, atomically replacing any file already there.
bool replace_file(const char* from, const char* to);

// Deletes one file; true when it is gone because of this call.
bool remove_file(const char* path);

// An open byte stream; closed by its destructor if close_stream was not called.
class Stream {
public:
    Stream() = default;
    Stream(Stream&& other) noexcept : file_(other.file_), failed_(other.failed_) { other.file_ = nullptr; }
    Stream& operator=(Stream&& other) noexcept;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream();

    explicit operator bool() const { return file_ != nullptr; }

private:
    friend struct Access;  // the platform's own view: platform/access.h
    std::FILE* file_ = nullptr;
    bool failed_ = false;
};

// Opens a file in binary mode "rb" (read) or "wb" (create or truncate); an empty Stream on failure.
Stream open_stream(const char* path, const char* mode);

// Reads up to size bytes; returns the count read, 0 at end of file or on a read error.
std::size_t read_stream(Stream& stream, void* buffer, std::size_t size);

// Writes size bytes; returns the count written, less than size on failure.
std::size_t write_stream(Stream& stream, const void* buffer, std::size_t size);

// True when any read or write on the stream has failed.
bool stream_failed(const Stream& stream);

// Pushes everything written so far through to the disk; true when it got there (else the stream counts as failed).
bool flush_stream_to_disk(Stream& stream);

// Closes the stream; true when every buffered byte was written and the close succeeded.
bool close_stream(Stream& stream);

// ----------------------------------------------------------------- memory

// A heap block owned for one scope; empty when the allocation failed.
class Buffer {
public:
    Buffer() = default;
    Buffer(Buffer&& other) noexcept : data_(other.data_), size_(other.size_) { other.data_ = nullptr; other.size_ = 0; }
    Buffer& operator=(Buffer&&) = delete;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer();

    explicit operator bool() const { return data_ != nullptr; }
    void* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    friend struct Access;
    Buffer(void* data, std::size_t size) : data_(data), size_(size) {}
    void* data_ = nullptr;
    std::size_t size_ = 0;
};

// Allocates size bytes from the heap (malloc); an empty Buffer on failure.
Buffer allocate(std::size_t size);

// --------------------------------------------------------------- registry

inline constexpr std::uint32_t reg_sz = 1;
inline constexpr std::uint32_t reg_expand_sz = 2;
inline constexpr std::uint32_t reg_dword = 4;

// An open registry key under HKEY_LOCAL_MACHINE; closed by its destructor.
class Key {
public:
    Key() = default;
    Key(Key&& other) noexcept : handle_(other.handle_), open_(other.open_) { other.open_ = false; }
    Key& operator=(Key&&) = delete;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key();

    explicit operator bool() const { return open_; }

private:
    friend struct Access;
    explicit Key(std::uintptr_t handle) : handle_(handle), open_(true) {}
    std::uintptr_t handle_ = 0;
    bool open_ = false;
};

// Creates (with any missing parents) or opens HKLM\sub_key with full access; an empty Key on failure.
Key create_key(const char* sub_key);

// Opens the existing HKLM\sub_key with full access; an empty Key on failure.
Key open_key(const char* sub_key);

enum class QueryResult { ok, no_value, too_large, failed };

// Reads a value's data into buffer (at most *size bytes, never more); on ok, *size is the data's length.
QueryResult query_value(const Key& key, const char* name, void* buffer, std::uint32_t* size);

// Stores exactly the given type and bytes under name, replacing any earlier value; true on success.
bool set_value(const Key& key, const char* name, std::uint32_t type, const void* data, std::uint32_t size);

// Deletes key\sub_key when it has no sub-keys of its own; true on success.
bool delete_key(const Key& key, const char* sub_key);

// ------------------------------------------------------------------ misc

// The identifier of the running process, unique among processes running now.
unsigned long process_id();

}  // namespace veltrax::platform
