#include "data/database.h"

#include <sqlite3.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "data/journal_vfs.h"

namespace cassasync::data {

DbError DbError::refused_row(const std::string& message) { return DbError(message, SQLITE_CONSTRAINT); }
DbError DbError::file_failure(const std::string& message) { return DbError(message, SQLITE_IOERR); }

Failure DbError::failure() const {
    switch (code_ & 0xFF) {
        case SQLITE_FULL:
        case SQLITE_IOERR:
        case SQLITE_READONLY:
        case SQLITE_CANTOPEN: return Failure::file;
        case SQLITE_NOMEM:
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB: return Failure::database;
        default: return Failure::refused_row;
    }
}

bool DbError::is_busy() const { return (code_ & 0xFF) == SQLITE_BUSY || (code_ & 0xFF) == SQLITE_LOCKED; }

void Statement::Finalizer::operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
void Database::Closer::operator()(sqlite3* d) const { sqlite3_close_v2(d); }


namespace {

// The original dialect's mid(text, start[, length]): 1-based, a null in gives null.
void sql_mid(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
        sqlite3_result_null(ctx);
        return;
    }
    const auto* raw = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    std::string s = raw ? raw : "";
    sqlite3_int64 start = sqlite3_value_int64(argv[1]);
    if (start < 1) {
        sqlite3_result_error(ctx, "mid: start must be 1 or more", -1);
        return;
    }
    std::size_t from = static_cast<std::size_t>(start - 1);
    std::size_t count = std::string::npos;
    if (argc > 2 && sqlite3_value_type(argv[2]) != SQLITE_NULL) {
        sqlite3_int64 len = sqlite3_value_int64(argv[2]);
        if (len < 0) {
            sqlite3_result_error(ctx, "mid: length must not be negative", -1);
            return;
        }
        count = static_cast<std::size_t>(len);
    }
    std::string out = from < s.size() ? s.substr(from, count) : std::string();
    sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

// trim(text): leading and trailing blanks only, as the original dialect does.
void sql_trim(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
        sqlite3_result_null(ctx);
        return;
    }
    const auto* raw = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    std::string_view s = raw ? raw : "";
    auto b = s.find_first_not_of(' ');
    if (b == std::string_view::npos) {
        sqlite3_result_text(ctx, "", 0, SQLITE_STATIC);
        return;
    }
    auto e = s.find_last_not_of(' ');
    auto out = s.substr(b, e - b + 1);
    sqlite3_result_text(ctx, out.data(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

void register_functions(sqlite3* db) {
    const int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
    sqlite3_create_function(db, "mid", 2, flags, nullptr, sql_mid, nullptr, nullptr);
    sqlite3_create_function(db, "mid", 3, flags, nullptr, sql_mid, nullptr, nullptr);
    sqlite3_create_function(db, "trim", 1, flags, nullptr, sql_trim, nullptr, nullptr);
}

}  // namespace

std::string quote_identifier(std::string_view name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

void throw_db_error(sqlite3* db, int code, const std::string& what) {
    std::string msg = what;
    if (db) {
        msg += ": ";
        msg += sqlite3_errmsg(db);
    } else {
        msg += ": ";
        msg += sqlite3_errstr(code);
    }
    throw DbError(msg, code);
}

// ---- Statement ----

Statement::Statement(sqlite3* db, std::string_view sql) : db_(db), sql_(sql) {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v3(db, sql_.data(), static_cast<int>(sql_.size()),
                                SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
    stmt_.reset(raw);
    if (rc != SQLITE_OK) throw_db_error(db, rc, "cannot prepare \"" + sql_ + "\"");
}

Statement& Statement::bind(int index, const Value& v) {
    int rc = SQLITE_OK;
    sqlite3_stmt* s = stmt_.get();
    if (std::holds_alternative<std::monostate>(v)) {
        rc = sqlite3_bind_null(s, index);
    } else if (auto* i = std::get_if<std::int64_t>(&v)) {
        rc = sqlite3_bind_int64(s, index, *i);
    } else if (auto* d = std::get_if<double>(&v)) {
        rc = sqlite3_bind_double(s, index, *d);
    } else {
        const auto& t = std::get<std::string>(v);
        rc = sqlite3_bind_text(s, index, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
    }
    if (rc != SQLITE_OK) throw_db_error(db_, rc, "cannot bind parameter of \"" + sql_ + "\"");
    return *this;
}

Statement& Statement::bind_in_place(int index, const Value& v) {
    const auto* t = std::get_if<std::string>(&v);
    if (!t) return bind(index, v);
    const int rc = sqlite3_bind_text(stmt_.get(), index, t->data(), static_cast<int>(t->size()), SQLITE_STATIC);
    if (rc != SQLITE_OK) throw_db_error(db_, rc, "cannot bind parameter of \"" + sql_ + "\"");
    return *this;
}

void Statement::unbind() { sqlite3_clear_bindings(stmt_.get()); }

Statement& Statement::bind_all(const std::vector<Value>& params) {
    // Bindings outlive a reset: a parameter this use leaves unbound must read as NULL,
    // never as the value of an earlier use.
    if (static_cast<int>(params.size()) < sqlite3_bind_parameter_count(stmt_.get())) {
        sqlite3_clear_bindings(stmt_.get());
    }
    for (std::size_t i = 0; i < params.size(); ++i) bind(static_cast<int>(i + 1), params[i]);
    return *this;
}

bool Statement::step() {
    int rc = sqlite3_step(stmt_.get());
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    sqlite3_reset(stmt_.get());
    throw_db_error(db_, rc, "\"" + sql_ + "\" failed");
}

void Statement::run() {
    while (step()) {
    }
}

void Statement::reset() { sqlite3_reset(stmt_.get()); }

int Statement::column_count() const { return sqlite3_column_count(stmt_.get()); }

std::string Statement::column_name(int i) const {
    const char* n = sqlite3_column_name(stmt_.get(), i);
    return n ? n : "";
}

bool Statement::is_text_column(int i) const {
    const char* declared = sqlite3_column_decltype(stmt_.get(), i);
    if (!declared) return false;
    std::string type(declared);
    for (char& c : type) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    // SQLite's own affinity rule: INT first, then CHAR, CLOB or TEXT.
    if (type.find("INT") != std::string::npos) return false;
    return type.find("CHAR") != std::string::npos || type.find("CLOB") != std::string::npos ||
           type.find("TEXT") != std::string::npos;
}

Value Statement::column(int i) const {
    Value v;
    column_into(i, v);
    return v;
}

void Statement::column_into(int i, Value& into) const {
    sqlite3_stmt* s = stmt_.get();
    switch (sqlite3_column_type(s, i)) {
        case SQLITE_INTEGER:
            into = static_cast<std::int64_t>(sqlite3_column_int64(s, i));
            return;
        case SQLITE_FLOAT:
            into = sqlite3_column_double(s, i);
            return;
        case SQLITE_NULL:
            into = std::monostate{};
            return;
        default: {
            const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
            const auto n = static_cast<std::size_t>(sqlite3_column_bytes(s, i));
            if (auto* held = std::get_if<std::string>(&into)) {
                held->assign(p ? p : "", n);
            } else {
                into.emplace<std::string>(p ? p : "", n);
            }
        }
    }
}

// ---- Database ----

namespace {
// Made once, before the library's first use in the process: without its memory
// statistics SQLite takes no process-wide lock on every allocation. (Ignored, harmlessly,
// if something in the process started the library earlier.)
void configure_library() {
    static std::once_flag once;
    std::call_once(once, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
}
}  // namespace

Database::Database(const std::filesystem::path& file, const OpenOptions& options)
    : file_(file), role_(options.role) {
    configure_library();
    // A connection is used by one thread at a time (start-up, then the worker, then the
    // shutdown after the worker has ended): no lock around every call, which would cost
    // more than the statements themselves on a receipt line.
    int flags = (options.read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX;
    if (options.create && !options.read_only) flags |= SQLITE_OPEN_CREATE;
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(file.c_str(), &raw, flags, buffered_journal_vfs());
    db_.reset(raw);
    if (rc != SQLITE_OK) throw_db_error(raw, rc, "cannot open database " + file.string());
    sqlite3_extended_result_codes(raw, 1);
    sqlite3_busy_timeout(raw, options.busy_timeout_ms);
    register_functions(raw);
    // Rollback journals everywhere: WAL would break the atomic commit of attached files,
    // and a register's file is opened from another machine as well.
    if (options.read_only) {
        exec("PRAGMA query_only=1");
    } else {
        exec("PRAGMA journal_mode=DELETE");
    }
    // A commit is on disk when it returns, whatever default the SQLite build has.
    exec("PRAGMA synchronous=FULL");
    if (options.role == FileRole::central) exec("PRAGMA cache_size=-" + std::to_string(kCentralCacheKiB));
    // A damaged or foreign file must fail here, not half-way through a step.
    scalar("SELECT count(*) FROM sqlite_schema");
}

Database::~Database() {
    cache_.clear();  // statements before the connection
}

void Database::set_busy_timeout(int ms) { sqlite3_busy_timeout(db_.get(), ms); }

void Database::exec(std::string_view sql) {
    std::string text(sql);
    char* err = nullptr;
    int rc = sqlite3_exec(db_.get(), text.c_str(), nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        std::string msg = err ? err : sqlite3_errstr(rc);
        sqlite3_free(err);
        throw DbError("\"" + text.substr(0, 80) + "\" failed on " + file_.string() + ": " + msg, rc);
    }
}

Statement& Database::prepare(const std::string& sql, const std::vector<Value>& params) {
    auto it = cache_.find(sql);
    if (it == cache_.end()) {
        it = cache_.emplace(sql, std::make_unique<Statement>(db_.get(), sql)).first;
    }
    Statement& st = *it->second;
    st.reset();
    st.bind_all(params);
    return st;
}

int Database::execute(const std::string& sql, const std::vector<Value>& params) {
    Statement& st = prepare(sql, params);
    st.run();
    int changed = sqlite3_changes(db_.get());
    st.reset();
    return changed;
}

Value Database::scalar(const std::string& sql, const std::vector<Value>& params) {
    Statement& st = prepare(sql, params);
    Value v;
    if (st.step()) v = st.column(0);
    st.reset();
    return v;
}

std::int64_t Database::last_insert_rowid() const { return sqlite3_last_insert_rowid(db_.get()); }

int Database::changes() const { return sqlite3_changes(db_.get()); }

bool Database::in_transaction() const { return sqlite3_get_autocommit(db_.get()) == 0; }

bool Database::undo_savepoint(const std::string& name) {
    if (!in_transaction()) return false;
    exec("ROLLBACK TO " + quote_identifier(name));
    exec("RELEASE " + quote_identifier(name));
    return true;
}

// Begun and released once per row a transfer takes: through the statement cache, not
// parsed again each time.
Savepoint::Savepoint(Database& db, std::string name) : db_(db), name_(std::move(name)) {
    db_.execute("SAVEPOINT " + quote_identifier(name_));
}

Savepoint::~Savepoint() {
    if (!open_) return;
    try {
        db_.undo_savepoint(name_);
    } catch (...) {
        // Unwinding already: the transaction around it rolls back what is left.
    }
}

void Savepoint::release() {
    db_.execute("RELEASE " + quote_identifier(name_));
    open_ = false;
}

bool Savepoint::undo() {
    open_ = false;
    return db_.undo_savepoint(name_);
}

void Database::attach(const std::filesystem::path& file, const std::string& schema) {
    if (is_attached(schema)) return;
    // The file must exist: ATTACH would otherwise create an empty database.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) {
        throw DbError("cannot attach " + file.string() + ": file does not exist", SQLITE_CANTOPEN);
    }
    execute("ATTACH DATABASE ? AS " + quote_identifier(schema), {Value(file.string())});
    exec("PRAGMA " + quote_identifier(schema) + ".journal_mode=DELETE");
    exec("PRAGMA " + quote_identifier(schema) + ".synchronous=FULL");
    exec("PRAGMA " + quote_identifier(schema) + ".cache_size=-" + std::to_string(kAttachedCacheKiB));
}

void Database::detach(const std::string& schema) {
    if (!is_attached(schema)) return;
    exec("DETACH DATABASE " + quote_identifier(schema));
}

bool Database::is_attached(const std::string& schema) const {
    return sqlite3_db_filename(db_.get(), schema.c_str()) != nullptr;
}

bool Database::has_table(const std::string& table) const {
    auto& self = const_cast<Database&>(*this);
    Value v = self.scalar(
        "SELECT count(*) FROM sqlite_schema WHERE type='table' AND name = ? COLLATE NOCASE",
        {Value(table)});
    if (to_int_or(v, 0) > 0) return true;
    // Attached files are searched as unqualified names would be.
    Statement& st = self.prepare("PRAGMA database_list");
    std::vector<std::string> schemas;
    while (st.step()) schemas.push_back(to_text(st.column(1)));
    st.reset();
    for (const auto& s : schemas) {
        if (s == "main" || s == "temp") continue;
        Value n = self.scalar("SELECT count(*) FROM " + quote_identifier(s) +
                                  ".sqlite_schema WHERE type='table' AND name = ? COLLATE NOCASE",
                              {Value(table)});
        if (to_int_or(n, 0) > 0) return true;
    }
    return false;
}

// ---- Transaction ----

Transaction::Transaction(Database& db) : db_(db) { db_.exec("BEGIN IMMEDIATE"); }

Transaction::~Transaction() {
    if (open_) {
        sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

void Transaction::commit() {
    db_.exec("COMMIT");
    open_ = false;
}

}  // namespace cassasync::data
