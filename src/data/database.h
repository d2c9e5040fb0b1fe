// RAII over the SQLite C API: one Database per open file (a connection kept for the
// life of the process), prepared Statements cached by their text, a Transaction guard
// that rolls back unless told to commit, and ATTACH for the back office's files that
// must commit together. Every value reaches SQL as a bound parameter.
//
// Errors from SQLite are raised as DbError; the step that runs the statement decides
// whether to trap it (see the register steps) or let it reach the processing cycle.
#pragma once

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "data/value.h"

// SQLite's own types stay opaque here: <sqlite3.h> is included by the data layer's
// sources only.
struct sqlite3;
struct sqlite3_stmt;

namespace cassasync::data {

// What kind of failure an error is, told apart by its code and never by its text.
enum class Failure {
    refused_row,  // the row itself: a constraint, a value that does not fit, a refused booking
    database,     // the database: kept locked by another program, damaged, out of memory
    file,         // the file system: disk full, an I/O error, a file that cannot be opened or removed
};

// An error of the storage engine, of a file or of a row, with SQLite's result code
// (extended codes included). Raised by the wrapper and by the steps; caught and logged
// once, at the boundary of a register's step.
class DbError : public std::runtime_error {
public:
    static constexpr int kGenericCode = 1;  // SQLite's generic error
    DbError(const std::string& message, int code = kGenericCode) : std::runtime_error(message), code_(code) {}
    // A row refused for its own content: the rows after it are unaffected.
    static DbError refused_row(const std::string& message);
    // A file that could not be written, removed or opened.
    static DbError file_failure(const std::string& message);

    int code() const { return code_; }
    Failure failure() const;
    // The file is kept locked by another connection or program past the busy wait.
    bool is_busy() const;

private:
    int code_;
};

// How a file is used: the back office's own files, or a register's file on a share.
enum class FileRole { central, register_share };

// Page cache of a central connection's own file, and of each file attached to it, in
// KiB. The articles file is read at random by every receipt line: 32 MB of it stay in
// memory (a batch never spills; a large catalogue rereads far less), and with 16 MB for
// each attached file the process stays well under 100 MB.
inline constexpr int kCentralCacheKiB = 32768;
inline constexpr int kAttachedCacheKiB = 16384;

struct OpenOptions {
    bool create = false;           // create the file when absent (administration only)
    // Opened for reading only (checks of another machine's file): nothing is written,
    // not even the journal mode.
    bool read_only = false;
    FileRole role = FileRole::central;
    int busy_timeout_ms = 5000;
};

class Columns;  // record_set.h

class Statement {
public:
    Statement(sqlite3* db, std::string_view sql);
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, const Value& v);  // 1-based
    // Binds a text without copying it: the value must stay as it is until the statement
    // has run and unbind() has been called. For rows written straight from memory.
    Statement& bind_in_place(int index, const Value& v);
    void unbind();  // every parameter back to NULL
    Statement& bind_all(const std::vector<Value>& params);
    bool step();            // true while a row is available
    void run();             // steps to the end; for statements that return no rows
    void reset();           // ready to run again; bindings stay until bind_all binds anew
    int column_count() const;
    std::string column_name(int i) const;
    bool is_text_column(int i) const;  // declared with text affinity (TEXT, CHAR, CLOB)
    Value column(int i) const;
    void column_into(int i, Value& into) const;  // reuses the storage of a text already held
    const std::string& sql() const { return sql_; }
    // The result's column names, built once by the first record set that reads this
    // statement and shared by every later one (a cached statement keeps its columns).
    const std::shared_ptr<const Columns>& columns() const { return columns_; }
    void set_columns(std::shared_ptr<const Columns> columns) { columns_ = std::move(columns); }

private:
    struct Finalizer {
        void operator()(sqlite3_stmt* s) const;
    };
    sqlite3* db_;
    std::unique_ptr<sqlite3_stmt, Finalizer> stmt_;
    std::string sql_;
    std::shared_ptr<const Columns> columns_;
};

class Database {
public:
    Database(const std::filesystem::path& file, const OpenOptions& options = {});
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    const std::filesystem::path& file() const { return file_; }
    FileRole role() const { return role_; }
    sqlite3* handle() const { return db_.get(); }
    // How long a statement waits for another connection's lock before it fails busy.
    void set_busy_timeout(int ms);

    void exec(std::string_view sql);  // a script without parameters (schema, pragmas)
    // A cached statement, reset and with its parameters bound. The reference stays
    // valid until the next call with the same text.
    Statement& prepare(const std::string& sql, const std::vector<Value>& params = {});
    // Runs a statement that returns no rows; gives the number of rows changed.
    int execute(const std::string& sql, const std::vector<Value>& params = {});
    // The first column of the first row, or null.
    Value scalar(const std::string& sql, const std::vector<Value>& params = {});

    std::int64_t last_insert_rowid() const;
    int changes() const;  // rows changed by the last statement run
    bool in_transaction() const;
    // Undoes and ends savepoint `name` after a failure inside it; the transaction goes
    // on. False when the failure had already ended the whole transaction, savepoint and
    // all (SQLite does so on a full disk or an I/O error): the caller passes that
    // failure on rather than the missing savepoint's.
    bool undo_savepoint(const std::string& name);

    // Attaches another file under `schema`; a file that does not exist is not created.
    void attach(const std::filesystem::path& file, const std::string& schema);
    void detach(const std::string& schema);
    bool is_attached(const std::string& schema) const;
    bool has_table(const std::string& table) const;
    // Expires when the connection closes: what keeps one of its statements may check
    // that the statement still exists before using it again.
    std::weak_ptr<const int> lifetime() const { return lifetime_; }

private:
    struct Closer {
        void operator()(sqlite3* d) const;
    };
    std::filesystem::path file_;
    FileRole role_;
    std::unique_ptr<sqlite3, Closer> db_;
    std::unordered_map<std::string, std::unique_ptr<Statement>> cache_;
    std::shared_ptr<const int> lifetime_ = std::make_shared<const int>(0);
};

// Rolls back on destruction unless commit() was called; never throws from the
// destructor, so a failing step leaves the files as they were before it.
class Transaction {
public:
    explicit Transaction(Database& db);  // BEGIN IMMEDIATE
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit();

private:
    Database& db_;
    bool open_ = true;
};

// A savepoint inside a transaction, so that one row's failure undoes only that row:
// begun in the constructor, undone and ended in the destructor unless released. Lives
// on the stack for one row; never throws from the destructor.
class Savepoint {
public:
    Savepoint(Database& db, std::string name);  // SAVEPOINT name
    ~Savepoint();
    Savepoint(const Savepoint&) = delete;
    Savepoint& operator=(const Savepoint&) = delete;
    void release();  // RELEASE name: what was done inside stays in the transaction
    // Undoes and ends the savepoint after a failure inside it; false when the failure
    // had already ended the whole transaction (see Database::undo_savepoint).
    bool undo();

private:
    Database& db_;
    std::string name_;
    bool open_ = true;
};

// A table, field or schema name as SQL text, in double quotes (a quote inside doubled).
std::string quote_identifier(std::string_view name);

// Raised text of the last SQLite error on `db`, with what was being done.
[[noreturn]] void throw_db_error(sqlite3* db, int code, const std::string& what);

}  // namespace cassasync::data
