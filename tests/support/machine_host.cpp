// Test machine on Linux: a fresh folder per Machine, inspected with POSIX
// calls and SQLite queries of its own (not the tool's seam).
#include <sqlite3.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/machine.h"

namespace fs = std::filesystem;

namespace veltrax::testing {

namespace {

void fail(const std::string& what) { throw std::runtime_error(what); }

std::vector<std::string> split_key(const std::string& key) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : key) {
        if (c == '\\') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

class Db {
public:
    explicit Db(const std::string& path) {
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) fail("cannot open " + path);
        sqlite3_busy_timeout(db_, 5000);
        exec("CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
             " name TEXT NOT NULL COLLATE NOCASE, UNIQUE(parent, name));"
             "CREATE TABLE IF NOT EXISTS vals(key INTEGER NOT NULL, name TEXT NOT NULL COLLATE NOCASE,"
             " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, name));");
    }
    ~Db() { sqlite3_close(db_); }
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    void exec(const std::string& sql) {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            std::string text = message != nullptr ? message : "?";
            sqlite3_free(message);
            fail("sql: " + text);
        }
    }

    // Runs a statement with text/integer/blob parameters, collecting each row as strings.
    std::vector<std::vector<std::string>> query(const std::string& sql, const std::vector<std::string>& params,
                                                bool blob_last = false) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) fail("prepare: " + sql);
        for (std::size_t i = 0; i < params.size(); ++i) {
            const int index = static_cast<int>(i + 1);
            if (blob_last && i + 1 == params.size()) {
                sqlite3_bind_blob(stmt, index, params[i].data(), static_cast<int>(params[i].size()), SQLITE_TRANSIENT);
            } else {
                sqlite3_bind_text(stmt, index, params[i].c_str(), -1, SQLITE_TRANSIENT);
            }
        }
        std::vector<std::vector<std::string>> rows;
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
                const auto* bytes = static_cast<const char*>(sqlite3_column_blob(stmt, c));
                row.emplace_back(bytes != nullptr ? std::string(bytes, sqlite3_column_bytes(stmt, c)) : "");
            }
            rows.push_back(std::move(row));
        }
        sqlite3_finalize(stmt);
        if (rc != SQLITE_DONE) fail("step: " + sql);
        return rows;
    }

    // The id of a key path, or "" when absent; with create, makes the missing parts.
    std::string key_id(const std::string& key, bool create) {
        std::string id = "0";
        for (const std::string& name : split_key(key)) {
            auto rows = query("SELECT id FROM keys WHERE parent = ?1 AND name = ?2", {id, name});
            if (rows.empty()) {
                if (!create) return "";
                query("INSERT INTO keys(parent, name) VALUES(?1, ?2)", {id, name});
                rows = query("SELECT id FROM keys WHERE parent = ?1 AND name = ?2", {id, name});
            }
            id = rows.at(0).at(0);
        }
        return id;
    }

private:
    sqlite3* db_ = nullptr;
};

std::string self_dir() {
    return fs::read_symlink("/proc/self/exe").parent_path().string();
}

}  // namespace

std::uint32_t unrecognised_exit_status() { return 255; }
std::uint32_t crashed_exit_status() { return 1000 + SIGKILL; }

Machine::Machine() {
    std::string pattern = (fs::temp_directory_path() / "veltrax-machine-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) fail("mkdtemp");
    root_ = pattern;
    fs::create_directories(fs::path(root_) / "drive_c" / "scratch");
    ::setenv("VELTRAX_PLACE_ROOT", root_.c_str(), 1);
}

Machine::~Machine() {
    std::error_code ignored;
    // A test may have made folders read-only; give them back before removing.
    for (auto it = fs::recursive_directory_iterator(root_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(root_, ignored);
    ::unsetenv("VELTRAX_PLACE_ROOT");
}

std::string Machine::scratch_dir() const { return "C:\\scratch"; }
std::string Machine::scratch_key() const { return "SOFTWARE\\VeltraxSeamTest"; }

static std::string host_path(const std::string& root, const std::string& path) {
    if (path.size() < 2 || (path[0] != 'C' && path[0] != 'c') || path[1] != ':') fail("not on drive C: " + path);
    std::string rest = path.substr(2);
    std::replace(rest.begin(), rest.end(), '\\', '/');
    return root + "/drive_c" + rest;
}

void Machine::write(const std::string& path, const std::string& bytes) const {
    const fs::path target = host_path(root_, path);
    fs::create_directories(target.parent_path());
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) fail("cannot write " + path);
}

std::optional<std::string> Machine::read(const std::string& path) const {
    const fs::path target = host_path(root_, path);
    if (!fs::is_regular_file(target)) return std::nullopt;
    std::ifstream in(target, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::string Machine::native_path(const std::string& path) const { return host_path(root_, path); }

bool Machine::exists(const std::string& path) const { return fs::exists(host_path(root_, path)); }
bool Machine::is_dir(const std::string& path) const { return fs::is_directory(host_path(root_, path)); }
void Machine::make_dirs(const std::string& path) const { fs::create_directories(host_path(root_, path)); }
void Machine::remove_tree(const std::string& path) const { fs::remove_all(host_path(root_, path)); }

static std::vector<std::string> below(const std::string& folder, bool want_dirs) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
         ++it) {
        if (it->is_directory() != want_dirs) continue;
        std::string name = fs::relative(it->path(), folder).string();
        std::replace(name.begin(), name.end(), '/', '\\');
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> Machine::files_below(const std::string& folder) const {
    return below(host_path(root_, folder), false);
}

std::vector<std::string> Machine::dirs_below(const std::string& folder) const {
    return below(host_path(root_, folder), true);
}

void Machine::reg_set(const std::string& key, const std::string& name, std::uint32_t type,
                      const std::string& data) const {
    Db db(root_ + "/hklm.sqlite");
    const std::string id = db.key_id(key, true);
    db.query("INSERT OR REPLACE INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4)",
             {id, name, std::to_string(type), data}, true);
}

void Machine::reg_create(const std::string& key) const {
    Db db(root_ + "/hklm.sqlite");
    db.key_id(key, true);
}

std::optional<RegValue> Machine::reg_get(const std::string& key, const std::string& name) const {
    Db db(root_ + "/hklm.sqlite");
    const std::string id = db.key_id(key, false);
    if (id.empty()) return std::nullopt;
    const auto rows = db.query("SELECT type, data FROM vals WHERE key = ?1 AND name = ?2", {id, name});
    if (rows.empty()) return std::nullopt;
    return RegValue{static_cast<std::uint32_t>(std::stoul(rows[0][0])), rows[0][1]};
}

bool Machine::reg_key_exists(const std::string& key) const {
    Db db(root_ + "/hklm.sqlite");
    return !db.key_id(key, false).empty();
}

std::vector<std::string> Machine::reg_value_names(const std::string& key) const {
    Db db(root_ + "/hklm.sqlite");
    const std::string id = db.key_id(key, false);
    std::vector<std::string> names;
    if (id.empty()) return names;
    for (const auto& row : db.query("SELECT name FROM vals WHERE key = ?1 ORDER BY name", {id})) {
        names.push_back(row[0]);
    }
    return names;
}

std::vector<std::string> Machine::reg_subkeys(const std::string& key) const {
    Db db(root_ + "/hklm.sqlite");
    const std::string id = db.key_id(key, false);
    std::vector<std::string> names;
    if (id.empty()) return names;
    for (const auto& row : db.query("SELECT name FROM keys WHERE parent = ?1 ORDER BY name", {id})) {
        names.push_back(row[0]);
    }
    return names;
}

void Machine::reg_delete_tree(const std::string& key) const {
    Db db(root_ + "/hklm.sqlite");
    const std::string id = db.key_id(key, false);
    if (id.empty()) return;
    db.exec("WITH RECURSIVE sub(id) AS (SELECT " + id +
            " UNION ALL SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id)"
            " DELETE FROM vals WHERE key IN sub;");
    db.exec("WITH RECURSIVE sub(id) AS (SELECT " + id +
            " UNION ALL SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id)"
            " DELETE FROM keys WHERE id IN sub;");
}

Process Machine::start(const std::vector<std::string>& args, const std::string& program,
                       const std::vector<std::string>& env) const {
    static unsigned started = 0;
    const std::string tool = self_dir() + "/" + program;
    const std::string tag = std::to_string(++started);
    const std::string out_path = root_ + "/.stdout" + tag;
    const std::string err_path = root_ + "/.stderr" + tag;
    const pid_t child = ::fork();
    if (child < 0) fail("fork");
    if (child == 0) {
        if (!std::freopen(out_path.c_str(), "wb", stdout) || !std::freopen(err_path.c_str(), "wb", stderr)) {
            ::_exit(127);
        }
        for (const std::string& entry : env) ::putenv(const_cast<char*>(entry.c_str()));
        ::alarm(60);  // a run that hangs dies of SIGALRM and fails the test
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(tool.c_str()));
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execv(tool.c_str(), argv.data());
        ::_exit(127);
    }
    return Process(static_cast<std::uintptr_t>(child), out_path, err_path);
}

RunResult Process::finish() {
    const auto child = static_cast<pid_t>(std::exchange(handle_, 0));
    int status = 0;
    if (::waitpid(child, &status, 0) != child) fail("waitpid");
    RunResult result;
    result.exit_code = WIFEXITED(status) ? static_cast<std::uint32_t>(WEXITSTATUS(status)) : 1000u + WTERMSIG(status);
    auto slurp = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    };
    result.out = slurp(out_path_);
    result.err = slurp(err_path_);
    fs::remove(out_path_);
    fs::remove(err_path_);
    return result;
}

}  // namespace veltrax::testing
