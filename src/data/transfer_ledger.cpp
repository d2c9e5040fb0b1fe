#include "data/transfer_ledger.h"

#include <bit>
#include <map>
#include <type_traits>

namespace cassasync::data {

namespace {
constexpr const char* kInsert =
    "INSERT OR IGNORE INTO registro_trasferimenti (cassa, tabella, chiave, impronta) VALUES (?,?,?,?)";
constexpr const char* kHolds =
    "SELECT 1 FROM registro_trasferimenti WHERE cassa=? AND tabella=? AND chiave=?";
constexpr const char* kKeys =
    "SELECT chiave, impronta FROM registro_trasferimenti WHERE cassa=? AND tabella=? ORDER BY chiave";
const std::string kDelete =
    "DELETE FROM registro_trasferimenti WHERE cassa=? AND tabella=? AND " + in_key_set("chiave");
constexpr const char* kLedgerTable = "registro_trasferimenti";
constexpr const char* kDigestColumn = "impronta";

// FNV-1a, 64 bits: stable across runs and builds, which std::hash is not.
class Fnv1a {
public:
    void add(const void* data, std::size_t size) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i) {
            state_ ^= p[i];
            state_ *= 0x100000001b3ULL;
        }
    }
    template <typename T>
        requires std::is_arithmetic_v<T>
    void add(T n) {
        add(&n, sizeof n);
    }
    std::uint64_t value() const { return state_; }

private:
    std::uint64_t state_ = 0xcbf29ce484222325ULL;
};
}  // namespace

void TransferLedger::record(int cassa, std::string_view table, std::int64_t key,
                            std::optional<std::int64_t> digest) {
    db_.execute(kInsert, {Value(std::int64_t{cassa}), Value(std::string(table)), Value(key),
                          digest ? Value(*digest) : kNull});
}

bool TransferLedger::holds(int cassa, std::string_view table, std::int64_t key) {
    return !is_null(db_.scalar(kHolds, {Value(std::int64_t{cassa}), Value(std::string(table)), Value(key)}));
}

std::vector<TransferLedger::Entry> TransferLedger::entries(int cassa, std::string_view table) {
    std::vector<Entry> out;
    Statement& st = db_.prepare(kKeys, {Value(std::int64_t{cassa}), Value(std::string(table))});
    while (st.step()) {
        const Value digest = st.column(1);
        out.push_back({to_int(st.column(0)), is_null(digest) ? std::nullopt : std::optional(to_int(digest))});
    }
    st.reset();
    return out;
}

std::vector<std::int64_t> TransferLedger::keys(int cassa, std::string_view table) {
    std::vector<std::int64_t> out;
    for (const auto& entry : entries(cassa, table)) out.push_back(entry.key);
    return out;
}

void TransferLedger::clear(int cassa, std::string_view table, const std::vector<std::int64_t>& keys) {
    if (keys.empty()) return;
    // One statement: inside the caller's transaction, or a transaction of its own.
    db_.execute(kDelete, {Value(std::int64_t{cassa}), Value(std::string(table)), key_set(keys)});
}

void TransferLedger::mark_at_register(Database& register_db, const std::string& mark_sql,
                                      const std::vector<std::int64_t>& keys) {
    if (keys.empty()) return;
    // One statement is one transaction: every row is marked, or none.
    register_db.execute(mark_sql, {key_set(keys)});
}

std::int64_t row_digest(const std::vector<Value>& values) {
    Fnv1a h;
    for (const Value& v : values) {
        h.add(static_cast<std::uint8_t>(v.index()));
        if (const auto* n = std::get_if<std::int64_t>(&v)) {
            h.add(*n);
        } else if (const auto* d = std::get_if<double>(&v)) {
            h.add(std::bit_cast<std::uint64_t>(*d));
        } else if (const auto* t = std::get_if<std::string>(&v)) {
            h.add(static_cast<std::uint64_t>(t->size()));  // "ab","c" is not "a","bc"
            h.add(t->data(), t->size());
        }
    }
    return static_cast<std::int64_t>(h.value());
}

void upgrade_ledger_table(Database& central) {
    bool has_table = false;
    Statement& st = central.prepare(std::string("PRAGMA main.table_info(") + kLedgerTable + ")");
    while (st.step()) {
        has_table = true;
        if (to_text(st.column(1)) == kDigestColumn) {
            st.reset();
            return;
        }
    }
    st.reset();
    if (!has_table) return;  // a file without a ledger fails where the ledger is used, naming it
    try {
        central.exec(std::string("ALTER TABLE main.") + kLedgerTable + " ADD COLUMN " + kDigestColumn + " INTEGER");
    } catch (const DbError& e) {
        throw DbError(std::string("cannot add the column ") + kDigestColumn + " to " + kLedgerTable +
                          " (" + e.what() + "); start the service again when no other program is using the "
                          "main database",
                      e.code());
    }
}

int TransferLedger::settle_unchanged(Database& register_db, int cassa, std::string_view table,
                                     const std::string& mark_sql, const RowReader& read_rows,
                                     const RowDigest& key_and_digest) {
    const auto pending = entries(cassa, table);
    if (pending.empty()) return 0;
    std::vector<std::int64_t> keys;
    for (const auto& entry : pending) keys.push_back(entry.key);
    {
        Transaction tx(register_db);
        Channel now("riletti");
        const auto same = unchanged(pending, read_rows(now, key_set(keys)), key_and_digest);
        if (!same.empty()) register_db.execute(mark_sql, {key_set(same)});
        tx.commit();
    }
    // Only now: an entry cleared before the mark committed would let a crash in between
    // take its row a second time.
    clear(cassa, table, keys);
    return static_cast<int>(keys.size());
}

std::vector<std::int64_t> TransferLedger::unchanged(const std::vector<Entry>& taken, RecordSet& rows,
                                                    const RowDigest& key_and_digest) {
    std::map<std::int64_t, std::optional<std::int64_t>> recorded;
    for (const auto& entry : taken) recorded.emplace(entry.key, entry.digest);
    std::vector<std::int64_t> same;
    for (rows.move_first(); !rows.eof(); rows.move_next()) {
        const auto [key, digest] = key_and_digest(rows);
        const auto seen = recorded.find(key);
        if (seen != recorded.end() && (!seen->second || *seen->second == digest)) same.push_back(key);
    }
    return same;
}

int TransferLedger::settle(Database& register_db, int cassa, std::string_view table,
                           const std::string& mark_sql) {
    auto pending = keys(cassa, table);
    if (pending.empty()) return 0;
    mark_at_register(register_db, mark_sql, pending);
    clear(cassa, table, pending);
    return static_cast<int>(pending.size());
}

}  // namespace cassasync::data
