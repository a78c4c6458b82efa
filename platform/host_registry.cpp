// HKEY_LOCAL_MACHINE on Linux: the SQLite database <root>/hklm.sqlite, one
// transaction per call (schema in docs/linux-build.md). A Key holds a key's row id.
#include <sqlite3.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "platform/access.h"
#include "platform/fault.h"
#include "platform/host_machine.h"
#include "platform/platform.h"

namespace veltrax::platform {

using fault::injected;
using fault::Op;

namespace {

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

constexpr sqlite3_int64 hklm = 0;

// The longest key name Windows accepts.
constexpr std::ptrdiff_t max_key_name = 255;

// The machine's registry open for writing, inside one write transaction that
// is rolled back unless committed. Empty when the database cannot be written.
class Session {
public:
    explicit Session(bool create) {
        host::HostPath path;
        if (!host::machine_file("hklm.sqlite", path)) return;
        const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
        if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) return;
        sqlite3_busy_timeout(db_, 5000);
        sqlite3_extended_result_codes(db_, 1);
        if (sqlite3_db_readonly(db_, "main") != 0) return;
        begun_ = exec("PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;") && exec("BEGIN IMMEDIATE") &&
                 (!create || exec(schema));
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        if (begun_) exec("ROLLBACK");
        if (db_ != nullptr) sqlite3_close_v2(db_);
    }

    explicit operator bool() const { return begun_; }
    sqlite3* db() const { return db_; }
    bool commit() {
        if (!begun_) return false;
        begun_ = false;
        if (exec("COMMIT")) return true;
        exec("ROLLBACK");
        return false;
    }

private:
    bool exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }
    sqlite3* db_ = nullptr;
    bool begun_ = false;
};

struct Statement {
    sqlite3_stmt* stmt = nullptr;
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { sqlite3_finalize(stmt); }
    explicit operator bool() const { return stmt != nullptr; }
};

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

// The key's row id when the key still exists (a deleted key's id is never reused); else -1.
sqlite3_int64 existing(sqlite3* db, const Key& key) {
    const auto id = static_cast<sqlite3_int64>(Access::handle(key));
    if (id == hklm) return id;
    Statement find(db, "SELECT 1 FROM keys WHERE id = ?1");
    if (!find) return -1;
    sqlite3_bind_int64(find.stmt, 1, id);
    return sqlite3_step(find.stmt) == SQLITE_ROW ? id : -1;
}

Key open_or_create(const char* sub_key, bool create) {
    Session session(create);
    if (!session) return {};
    const sqlite3_int64 key = walk_keys(session.db(), hklm, sub_key, create);
    if (key == 0 || !session.commit()) return {};
    return Access::key(static_cast<std::uintptr_t>(key));
}

}  // namespace

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
    Session session(false);
    if (!session) return QueryResult::failed;
    const sqlite3_int64 id = existing(session.db(), key);
    if (id < 0) return QueryResult::failed;
    Statement find(session.db(), "SELECT data FROM vals WHERE key = ?1 AND name = ?2");
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
    Session session(false);
    if (!session) return false;
    const sqlite3_int64 id = existing(session.db(), key);
    if (id <= hklm) return false;
    // An existing value keeps the spelling of its name, as on Windows.
    Statement store(session.db(),
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
    return session.commit();
}

bool delete_key(const Key& key, const char* sub_key) {
    if (!key || injected(Op::delete_key)) return false;
    Session session(false);
    if (!session) return false;
    const sqlite3_int64 parent = existing(session.db(), key);
    if (parent < 0) return false;
    const sqlite3_int64 target = walk_keys(session.db(), parent, sub_key, false);
    if (target == 0) return false;
    {
        Statement children(session.db(), "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
        if (!children) return false;
        sqlite3_bind_int64(children.stmt, 1, target);
        if (sqlite3_step(children.stmt) != SQLITE_DONE) return false;  // has sub-keys, or an error
    }
    for (const char* sql : {"DELETE FROM vals WHERE key = ?1", "DELETE FROM keys WHERE id = ?1"}) {
        Statement remove(session.db(), sql);
        if (!remove) return false;
        sqlite3_bind_int64(remove.stmt, 1, target);
        if (sqlite3_step(remove.stmt) != SQLITE_DONE) return false;
    }
    return session.commit();
}

}  // namespace veltrax::platform
