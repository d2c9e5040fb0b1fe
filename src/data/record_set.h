// The one data-access pattern of the service. A Channel is a named, long-lived query
// channel: it is pointed at a database and a query, refreshed, and yields a RecordSet
// positioned on its first row. On the record set the steps walk (move first / next /
// last, end of data), search (find first with a no-match test), read fields by name
// with explicit null tests, and change rows (add new, edit, update, delete).
//
// A channel that selects from one table can write back: every row carries its rowid,
// an edited row is written with one UPDATE of the fields that were set, and a new row
// with one INSERT of the fields that were set (the others keep the schema's defaults).
// A channel opened on a join is read-only.
//
// Searching a large table: a channel opened with Fetch::on_demand holds no rows; its
// find_first runs an indexed query for the first matching row instead of scanning. A
// channel that reads a wide table once per receipt line may name the fields it uses;
// the others are neither read nor settable.
//
// Held writes: where one step after another changes the same row (a receipt line's
// stock, then its last sale), hold_writes(true) makes update() change the row in memory
// and remember the fields set; write_held() writes them in one UPDATE. Moving, searching,
// adding, deleting or reopening writes them first. A caller that holds writes writes
// them before it lets the record set go.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "data/database.h"
#include "data/value.h"

namespace cassasync::data {

// Column names of a result, looked up case-insensitively like the original engine;
// where two names differ only in case, the first one answers. A field is looked up by
// name hundreds of times per receipt line, nearly always spelled as the query spells
// it: that spelling is found in a small open-addressing table with a cheap hash, and
// only another spelling takes the slower folded lookup.
class Columns {
public:
    explicit Columns(std::vector<std::string> names);
    const std::vector<std::string>& names() const { return names_; }
    std::optional<int> find(std::string_view name) const;
    int index(std::string_view name) const;  // raises DbError for an unknown field

private:
    // A spelling's first eight bytes (zero-padded) and length decide most comparisons.
    struct Slot {
        std::uint64_t head = 0;
        std::uint32_t size = 0;
        int index = -1;  // into names_; -1: empty
    };
    std::vector<std::string> names_;
    std::vector<Slot> slots_;  // a power of two in size, at most half full
    std::unordered_map<std::string, int> by_lower_;
};

// One condition of a search: column = value (values bound, never pasted).
struct Match {
    std::string column;
    Value value;
};

// all: the query's rows are fetched. on_demand: none are; find_first runs an indexed
// query. append: as on_demand, for a channel that only adds rows: a saved new row is not
// read back (the record set holds no current row after update()).
enum class Fetch { all, on_demand, append };

class RecordSet {
public:
    RecordSet() = default;

    bool eof() const;
    bool empty() const;
    std::size_t size() const;  // rows fetched (for on_demand: the row found, if any)
    void move_first();
    void move_next();
    void move_last();

    // Positions on the first row matching every condition; no_match() tells the result.
    bool find_first(const std::vector<Match>& conditions);
    bool no_match() const { return no_match_; }

    bool has_field(std::string_view name) const;
    const Value& field(std::string_view name) const;
    bool is_null(std::string_view name) const { return data::is_null(field(name)); }
    std::string text(std::string_view name) const { return to_text(field(name)); }
    std::int64_t integer(std::string_view name) const { return to_int(field(name)); }
    double number(std::string_view name) const { return to_double(field(name)); }
    std::int64_t rowid() const;

    void add_new();                                // a new row, written by update()
    void edit();                                   // edit the current row
    void set(std::string_view name, Value value);  // during add_new or edit
    void update();                                 // write the added or edited row
    void cancel_update();
    void remove();                                 // delete the current row

    void hold_writes(bool on);  // off: writes what is held
    void write_held();

private:
    friend class Channel;
    struct Row {
        std::int64_t rowid = 0;
        std::vector<Value> values;
        bool deleted = false;
    };
    enum class EditMode { none, adding, editing };

    void require_current(const char* what) const;
    void require_writable(const char* what) const;
    void skip_deleted();
    Row read_row(Statement& st) const;
    // One UPDATE of the fields marked in `which`, from `row`; the statement is prepared
    // once per set of fields, as is the INSERT of a new row's fields.
    void write_fields(const std::vector<bool>& which, const Row& row);
    Statement& insert_statement(const std::vector<bool>& which);

    Database* db_ = nullptr;
    std::string table_;                 // empty: read-only
    std::string field_list_ = "*";      // the fields a channel of one table reads
    std::string base_where_;            // the channel's own condition, for on_demand
    std::vector<Value> base_params_;
    std::string order_by_;
    Fetch fetch_ = Fetch::all;
    std::shared_ptr<const Columns> columns_;
    int rowid_column_ = -1;
    std::vector<Row> rows_;
    std::size_t pos_ = 0;
    bool no_match_ = false;
    EditMode mode_ = EditMode::none;
    Row pending_;
    std::vector<bool> touched_;
    bool holding_ = false;
    bool has_held_ = false;
    std::vector<bool> held_;
    std::unordered_map<std::vector<bool>, Statement*> updates_;
    std::unordered_map<std::vector<bool>, Statement*> inserts_;
    // The statement of each search an on-demand set has run, by the fields searched; a
    // search runs once per receipt line, and its text need not be built again.
    struct Search {
        std::vector<std::string> fields;
        Statement* statement;
    };
    std::vector<Search> searches_;
};

class Channel {
public:
    explicit Channel(std::string name) : name_(std::move(name)) {}
    const std::string& name() const { return name_; }

    // Rows of one table, writable: SELECT * FROM table [WHERE where] [ORDER BY order], or
    // only the named fields.
    RecordSet& select(Database& db, const std::string& table, const std::string& where = {},
                      std::vector<Value> params = {}, const std::string& order_by = {},
                      Fetch fetch = Fetch::all, const std::vector<std::string>& fields = {});
    // Any query (joins, expressions), read-only.
    RecordSet& query(Database& db, const std::string& sql, std::vector<Value> params = {});
    // Fetches the current query again (a refresh).
    RecordSet& refresh();
    RecordSet& records() { return set_; }

private:
    void fill();
    void reopen();  // held writes are written before the record set is replaced
    std::string name_;
    std::string sql_;
    RecordSet set_;
};

}  // namespace cassasync::data
