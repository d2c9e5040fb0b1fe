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
#include <cstring>
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
    std::optional<int> find(std::string_view name) const {
        const int i = find_spelled(name);
        return i >= 0 ? std::optional<int>(i) : find_folded(name);
    }
    int index(std::string_view name) const {  // raises DbError for an unknown field
        const int i = find_spelled(name);
        return i >= 0 ? i : index_folded(name);
    }

private:
    // A spelling's length and its first and last eight bytes (zero-padded, overlapping
    // when shorter than sixteen) tell it apart from every other name up to sixteen
    // bytes; only a longer name compares its middle.
    struct Slot {
        std::uint64_t head = 0;
        std::uint64_t tail = 0;
        std::uint32_t size = 0;
        int index = -1;  // into names_; -1: empty
    };
    static std::uint64_t head_of(std::string_view s);
    static std::uint64_t tail_of(std::string_view s);
    static std::size_t slot_of(std::uint64_t head, std::uint64_t tail, std::size_t size);
    // The query's own spelling, or -1.
    int find_spelled(std::string_view name) const {
        const std::uint64_t head = head_of(name);
        const std::uint64_t tail = tail_of(name);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t at = slot_of(head, tail, name.size()) & mask; slots_[at].index >= 0; at = (at + 1) & mask) {
            const Slot& s = slots_[at];
            if (s.head == head && s.tail == tail && s.size == name.size() &&
                (name.size() <= 16 || same_middle(s.index, name))) {
                return s.index;
            }
        }
        return -1;
    }
    bool same_middle(int index, std::string_view name) const;
    std::optional<int> find_folded(std::string_view name) const;
    int index_folded(std::string_view name) const;

    std::vector<std::string> names_;
    std::vector<Slot> slots_;  // a power of two in size, at most half full
    std::unordered_map<std::string, int> by_lower_;
};

inline std::uint64_t Columns::head_of(std::string_view s) {
    // Read without a byte loop: a short name as two overlapping pieces, which put every
    // byte in its place.
    const char* p = s.data();
    const std::size_t n = s.size();
    if (n >= 8) {
        std::uint64_t head;
        std::memcpy(&head, p, 8);
        return head;
    }
    if (n >= 4) {
        std::uint32_t low, high;
        std::memcpy(&low, p, 4);
        std::memcpy(&high, p + n - 4, 4);
        return std::uint64_t{low} | std::uint64_t{high} << (8 * (n - 4));
    }
    if (n == 0) return 0;
    const auto byte = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
    return byte(0) | byte(n / 2) << (8 * (n / 2)) | byte(n - 1) << (8 * (n - 1));
}

inline std::uint64_t Columns::tail_of(std::string_view s) {
    std::uint64_t tail = 0;
    if (s.size() > 8) std::memcpy(&tail, s.data() + s.size() - 8, 8);
    return tail;
}

inline std::size_t Columns::slot_of(std::uint64_t head, std::uint64_t tail, std::size_t size) {
    std::uint64_t h = (head * 0x9E3779B97F4A7C15ull) ^ (tail * 0xC2B2AE3D27D4EB4Full) ^ size;
    h ^= h >> 31;
    return static_cast<std::size_t>(h * 0x165667B19E3779F9ull >> 32);
}

// The fields of a row that one write names, a bit per column: a receipt line sets
// dozens of them, and the set is the key of the statement that writes them.
class FieldSet {
public:
    void clear(std::size_t columns) { words_.assign((columns + 63) / 64, 0); }
    void add(std::size_t i) { words_[i / 64] |= std::uint64_t{1} << (i % 64); }
    void add_all(const FieldSet& other) {
        for (std::size_t w = 0; w < words_.size(); ++w) words_[w] |= other.words_[w];
    }
    bool empty() const {
        for (auto w : words_)
            if (w != 0) return false;
        return true;
    }
    template <typename F>
    void for_each(F&& f) const {  // in column order
        for (std::size_t w = 0; w < words_.size(); ++w) {
            for (std::uint64_t bits = words_[w]; bits != 0; bits &= bits - 1) {
                f(w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits)));
            }
        }
    }
    bool operator==(const FieldSet&) const = default;
    struct Hash {
        std::size_t operator()(const FieldSet& s) const {
            std::uint64_t h = s.words_.size();
            for (auto w : s.words_) h = (h ^ w) * 0x9E3779B97F4A7C15ull;
            return static_cast<std::size_t>(h ^ (h >> 32));
        }
    };

private:
    std::vector<std::uint64_t> words_;
};

// How a condition compares (text_match.h): `equal` as the file compares texts (without
// regard to letter case in the back office's files), `key` as a blank-padded key found
// with or without its trailing blanks (sought padded first, on a set that fetches on
// demand).
enum class Compare { equal, key };

// One condition of a search: column = value (values bound, never pasted).
struct Match {
    std::string column;
    Value value;
    Compare compare = Compare::equal;
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
    const Value& field(std::string_view name) const {
        if (!columns_) no_record_set(name);
        const auto i = static_cast<std::size_t>(columns_->index(name));
        if (mode_ != EditMode::none) return pending_.values[i];
        require_current("field");
        return rows_[pos_].values[i];
    }
    bool is_null(std::string_view name) const { return data::is_null(field(name)); }
    std::string text(std::string_view name) const { return to_text(field(name)); }
    std::int64_t integer(std::string_view name) const { return to_int(field(name)); }
    double number(std::string_view name) const { return to_double(field(name)); }
    std::int64_t rowid() const;
    // Every field of the current row, in the query's order (the row key first).
    const std::vector<Value>& values() const {
        require_current("values");
        return rows_[pos_].values;
    }

    void add_new();                                // a new row, written by update()
    void edit();                                   // edit the current row
    void set(std::string_view name, Value value);  // during add_new or edit
    void update();                                 // write the added or edited row
    void cancel_update();
    void remove();                                 // delete the current row

    void hold_writes(bool on);  // off: writes what is held
    // Forgets what is held without writing it (its line was undone); the row in memory
    // may then differ from the file, and a later search reads it afresh.
    void drop_held_writes() { has_held_ = false; }
    void write_held();

private:
    friend class Channel;
    struct Row {
        std::int64_t rowid = 0;
        std::vector<Value> values;
        bool deleted = false;
    };
    enum class EditMode { none, adding, editing };

    void require_current(const char* what) const {
        if (pos_ >= rows_.size() || rows_[pos_].deleted) no_current_record(what);
    }
    [[noreturn]] void no_current_record(const char* what) const;
    [[noreturn]] static void no_record_set(std::string_view name);
    void require_writable(const char* what) const;
    void skip_deleted();
    Row read_row(Statement& st) const;
    void read_into(Statement& st, Row& row) const;
    void load(Statement& st, std::size_t limit);  // the statement's rows, up to `limit`
    // One UPDATE of the fields marked in `which`, from `row`; the statement is prepared
    // once per set of fields, as is the INSERT of a new row's fields.
    void write_fields(const FieldSet& which, const Row& row);
    void run_bound(Statement& st, const FieldSet& which, const Row& row, bool by_rowid) const;
    Statement& insert_statement(const FieldSet& which);

    Database* db_ = nullptr;
    std::string table_;                 // empty: read-only
    std::string field_list_ = "*";      // the fields a channel of one table reads
    std::string base_where_;            // the channel's own condition, for on_demand
    std::vector<Value> base_params_;
    std::string order_by_;
    Fetch fetch_ = Fetch::all;
    std::shared_ptr<const Columns> columns_;
    std::vector<bool> text_columns_;    // for on_demand: columns declared as text
    int rowid_column_ = -1;
    std::vector<Row> rows_;
    std::size_t pos_ = 0;
    bool no_match_ = false;
    EditMode mode_ = EditMode::none;
    Row pending_;
    FieldSet touched_;
    bool holding_ = false;
    bool has_held_ = false;
    FieldSet held_;
    std::unordered_map<FieldSet, Statement*, FieldSet::Hash> updates_;
    std::unordered_map<FieldSet, Statement*, FieldSet::Hash> inserts_;
    // The statement of each search an on-demand set has run, by the fields searched; a
    // search runs once per receipt line, and its text need not be built again.
    struct Search {
        std::vector<std::string> fields;
        std::vector<Compare> compares;
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
    Statement* statement_ = nullptr;  // the cached statement of sql_, once prepared
    std::weak_ptr<const int> statement_owner_;  // its connection's lifetime
    RecordSet set_;
};

}  // namespace cassasync::data
