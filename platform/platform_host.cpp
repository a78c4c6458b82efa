// The platform seam on Linux, for tests and dry runs.
//
// The machine is a folder named by VELTRAX_PLACE_ROOT (the current folder
// when unset). Drive C is <root>/drive_c; "\" and "/" both separate; the
// drive letter matches in either case; any other drive, a relative path or a
// ".." component fails. HKEY_LOCAL_MACHINE is the SQLite database
// <root>/hklm.sqlite, one transaction per call (schema in README.md).
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <cstddef>
#include <initializer_list>

#include "platform/fault.h"
#include "platform/platform.h"

namespace veltrax::platform {

using fault::injected;
using fault::Op;

namespace {

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

const char* machine_root() {
    const char* root = std::getenv("VELTRAX_PLACE_ROOT");
    return (root != nullptr && root[0] != '\0') ? root : ".";
}

bool is_separator(char c) { return c == '\\' || c == '/'; }

// Maps "C:\a\b" to "<root>/drive_c/a/b"; false for anything not on drive C.
// `drive_only` tells whether the path names the drive itself.
bool map_path(const char* path, HostPath& out, bool* drive_only = nullptr) {
    if (path == nullptr || (path[0] != 'C' && path[0] != 'c') || path[1] != ':') return false;
    const char* rest = path + 2;
    if (rest[0] != '\0' && !is_separator(rest[0])) return false;  // "C:foo" is relative to a current folder
    if (!out.append(machine_root()) || !out.append("/drive_c")) return false;

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

// ---------------------------------------------------------------- registry

struct Database {
    sqlite3* db = nullptr;
    Database() = default;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;
    ~Database() {
        if (db != nullptr) sqlite3_close_v2(db);
    }
};

constexpr const char* schema =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " parent INTEGER NOT NULL,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " UNIQUE(parent, name));"
    "CREATE TABLE IF NOT EXISTS vals("
    " key INTEGER NOT NULL,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " PRIMARY KEY(key, name));";

// Opens the machine's registry for writing; false when it cannot be written.
bool open_database(Database& database, bool create) {
    HostPath path;
    if (!path.append(machine_root()) || !path.append("/hklm.sqlite")) return false;
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &database.db, flags, nullptr) != SQLITE_OK) return false;
    sqlite3_busy_timeout(database.db, 5000);
    sqlite3_extended_result_codes(database.db, 1);
    if (sqlite3_db_readonly(database.db, "main") != 0) return false;
    return sqlite3_exec(database.db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;", nullptr, nullptr,
                        nullptr) == SQLITE_OK;
}

struct Statement {
    sqlite3_stmt* stmt = nullptr;
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { sqlite3_finalize(stmt); }
    explicit operator bool() const { return stmt != nullptr; }
};

// One write transaction; rolled back unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : db_(db) {
        begun_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction() {
        if (begun_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    explicit operator bool() const { return begun_; }
    bool commit() {
        if (!begun_) return false;
        begun_ = false;
        if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) return true;
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }

private:
    sqlite3* db_;
    bool begun_ = false;
};

constexpr sqlite3_int64 hklm = 0;

// The longest key name Windows accepts.
constexpr std::ptrdiff_t max_key_name = 255;

// Looks up (and with `create`, creates) one child key; 0 when absent or on error.
sqlite3_int64 child_key(sqlite3* db, sqlite3_int64 parent, const char* name, int size, bool create) {
    {
        Statement find(db, "SELECT id FROM keys WHERE parent = ?1 AND name = ?2");
        if (!find) return 0;
        sqlite3_bind_int64(find.stmt, 1, parent);
        sqlite3_bind_text(find.stmt, 2, name, size, SQLITE_TRANSIENT);
        const int rc = sqlite3_step(find.stmt);
        if (rc == SQLITE_ROW) return sqlite3_column_int64(find.stmt, 0);
        if (rc != SQLITE_DONE || !create) return 0;
    }
    Statement insert(db, "INSERT INTO keys(parent, name) VALUES(?1, ?2)");
    if (!insert) return 0;
    sqlite3_bind_int64(insert.stmt, 1, parent);
    sqlite3_bind_text(insert.stmt, 2, name, size, SQLITE_TRANSIENT);
    if (sqlite3_step(insert.stmt) != SQLITE_DONE) return 0;
    return sqlite3_last_insert_rowid(db);
}

// Walks a "\"-separated key path from `start`; 0 when a step is missing, empty or fails.
sqlite3_int64 walk_keys(sqlite3* db, sqlite3_int64 start, const char* path, bool create) {
    if (path == nullptr || path[0] == '\0' || path[0] == '\\') return 0;
    sqlite3_int64 key = start;
    const char* name = path;
    for (const char* p = path;; ++p) {
        if (*p != '\\' && *p != '\0') continue;
        const std::ptrdiff_t size = p - name;
        if (size == 0) {
            if (*p == '\0') break;  // one trailing separator is allowed
            return 0;
        }
        if (size > max_key_name) return 0;
        key = child_key(db, key, name, static_cast<int>(size), create);
        if (key == 0) return 0;
        if (*p == '\0') break;
        name = p + 1;
    }
    return key;
}

bool key_exists(sqlite3* db, sqlite3_int64 key) {
    if (key == hklm) return true;
    Statement find(db, "SELECT 1 FROM keys WHERE id = ?1");
    if (!find) return false;
    sqlite3_bind_int64(find.stmt, 1, key);
    return sqlite3_step(find.stmt) == SQLITE_ROW;
}

Key open_or_create(const char* sub_key, bool create) {
    Database database;
    if (!open_database(database, create)) return {};
    Transaction transaction(database.db);
    if (!transaction) return {};
    if (create && sqlite3_exec(database.db, schema, nullptr, nullptr, nullptr) != SQLITE_OK) return {};
    const sqlite3_int64 key = walk_keys(database.db, hklm, sub_key, create);
    if (key == 0 || !transaction.commit()) return {};
    return Key(static_cast<std::uintptr_t>(key));
}

}  // namespace

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
    return Stream(file);
}

bool flush_stream_to_disk(Stream& stream) {
    if (!stream) return false;
    const bool flushed = !injected(Op::flush_stream) && std::fflush(stream.file()) == 0 &&
                         ::fsync(::fileno(stream.file())) == 0;
    if (!flushed) stream.mark_failed();
    return flushed;
}

// ----------------------------------------------------------------- registry

Key::~Key() = default;  // a key id holds no resource on this platform

Key create_key(const char* sub_key) {
    if (injected(Op::create_key)) return {};
    return open_or_create(sub_key, true);
}

Key open_key(const char* sub_key) {
    if (injected(Op::open_key)) return {};
    return open_or_create(sub_key, false);
}

QueryResult query_value(const Key& key, const char* name, void* buffer, std::uint32_t* size) {
    if (!key || injected(Op::query_value)) return QueryResult::failed;
    Database database;
    if (!open_database(database, false)) return QueryResult::failed;
    Transaction transaction(database.db);
    if (!transaction) return QueryResult::failed;
    const auto id = static_cast<sqlite3_int64>(key.handle());
    if (!key_exists(database.db, id)) return QueryResult::failed;
    Statement find(database.db, "SELECT data FROM vals WHERE key = ?1 AND name = ?2");
    if (!find) return QueryResult::failed;
    sqlite3_bind_int64(find.stmt, 1, id);
    sqlite3_bind_text(find.stmt, 2, name != nullptr ? name : "", -1, SQLITE_TRANSIENT);
    const int rc = sqlite3_step(find.stmt);
    if (rc == SQLITE_DONE) return QueryResult::no_value;
    if (rc != SQLITE_ROW) return QueryResult::failed;
    const int length = sqlite3_column_bytes(find.stmt, 0);
    if (static_cast<std::uint32_t>(length) > *size) return QueryResult::too_large;
    if (length > 0) std::memcpy(buffer, sqlite3_column_blob(find.stmt, 0), static_cast<std::size_t>(length));
    *size = static_cast<std::uint32_t>(length);
    return QueryResult::ok;
}

bool set_value(const Key& key, const char* name, std::uint32_t type, const void* data, std::uint32_t size) {
    if (!key || injected(Op::set_value)) return false;
    Database database;
    if (!open_database(database, false)) return false;
    Transaction transaction(database.db);
    if (!transaction) return false;
    const auto id = static_cast<sqlite3_int64>(key.handle());
    if (id == hklm || !key_exists(database.db, id)) return false;
    // An existing value keeps the spelling of its name, as on Windows.
    Statement store(database.db,
                    "INSERT INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4)"
                    " ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
    if (!store) return false;
    sqlite3_bind_int64(store.stmt, 1, id);
    sqlite3_bind_text(store.stmt, 2, name != nullptr ? name : "", -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(store.stmt, 3, type);
    // A zero-length blob must still be stored as a blob, not as NULL.
    static const unsigned char nothing = 0;
    sqlite3_bind_blob(store.stmt, 4, size > 0 ? data : &nothing, static_cast<int>(size), SQLITE_TRANSIENT);
    if (sqlite3_step(store.stmt) != SQLITE_DONE) return false;
    return transaction.commit();
}

bool delete_key(const Key& key, const char* sub_key) {
    if (!key || injected(Op::delete_key)) return false;
    Database database;
    if (!open_database(database, false)) return false;
    Transaction transaction(database.db);
    if (!transaction) return false;
    const auto parent = static_cast<sqlite3_int64>(key.handle());
    if (!key_exists(database.db, parent)) return false;
    const sqlite3_int64 target = walk_keys(database.db, parent, sub_key, false);
    if (target == 0) return false;
    {
        Statement children(database.db, "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
        if (!children) return false;
        sqlite3_bind_int64(children.stmt, 1, target);
        if (sqlite3_step(children.stmt) != SQLITE_DONE) return false;  // has sub-keys, or an error
    }
    for (const char* sql : {"DELETE FROM vals WHERE key = ?1", "DELETE FROM keys WHERE id = ?1"}) {
        Statement remove(database.db, sql);
        if (!remove) return false;
        sqlite3_bind_int64(remove.stmt, 1, target);
        if (sqlite3_step(remove.stmt) != SQLITE_DONE) return false;
    }
    return transaction.commit();
}

unsigned long process_id() { return static_cast<unsigned long>(::getpid()); }

#if defined(VELTRAX_FAULT_INJECTION)
void fault::end_process_now() {
    ::kill(::getpid(), SIGKILL);
    std::abort();  // not reached
}
#endif

}  // namespace veltrax::platform
