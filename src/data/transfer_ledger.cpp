#include "data/transfer_ledger.h"

namespace cassasync::data {

namespace {
constexpr const char* kInsert =
    "INSERT OR IGNORE INTO registro_trasferimenti (cassa, tabella, chiave) VALUES (?,?,?)";
constexpr const char* kHolds =
    "SELECT 1 FROM registro_trasferimenti WHERE cassa=? AND tabella=? AND chiave=?";
constexpr const char* kKeys =
    "SELECT chiave FROM registro_trasferimenti WHERE cassa=? AND tabella=? ORDER BY chiave";
constexpr const char* kDelete =
    "DELETE FROM registro_trasferimenti WHERE cassa=? AND tabella=? AND chiave IN (SELECT value FROM json_each(?))";
}  // namespace

void TransferLedger::record(int cassa, std::string_view table, std::int64_t key) {
    db_.execute(kInsert, {Value(std::int64_t{cassa}), Value(std::string(table)), Value(key)});
}

bool TransferLedger::holds(int cassa, std::string_view table, std::int64_t key) {
    return !is_null(db_.scalar(kHolds, {Value(std::int64_t{cassa}), Value(std::string(table)), Value(key)}));
}

std::vector<std::int64_t> TransferLedger::keys(int cassa, std::string_view table) {
    std::vector<std::int64_t> out;
    Statement& st = db_.prepare(kKeys, {Value(std::int64_t{cassa}), Value(std::string(table))});
    while (st.step()) out.push_back(to_int(st.column(0)));
    st.reset();
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

Value key_set(const std::vector<std::int64_t>& keys) {
    std::string json = "[";
    json.reserve(keys.size() * 8 + 2);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (i > 0) json += ',';
        json += std::to_string(keys[i]);
    }
    json += ']';
    return Value(std::move(json));
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
