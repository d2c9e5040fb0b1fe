// Exactly-once transfers without a transaction that spans two machines. A transfer
// commits its central effects together with a ledger entry per register row it took
// (register number, register table, the row's key); then one short transaction at the
// register marks or deletes exactly those rows; then the entries are cleared. Before a
// register table is read again, settle() marks any rows the ledger still holds (a crash
// came between the two commits) without applying their effects a second time.
//
// A register row that can change again after it was taken (an article or a customer)
// is recorded with a digest of its values: a settle marks it only if it still holds
// them, and otherwise leaves it to be taken again with its newer values.
//
// A register statement reaches a set of rows in one execution: its key set parameter,
// written `id IN (SELECT value FROM json_each(?))`, is bound to key_set(keys). One
// statement rather than one per row keeps the register locked for as short as can be.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/database.h"

namespace cassasync::data {

class TransferLedger {
public:
    explicit TransferLedger(Database& central) : db_(central) {}

    struct Entry {
        std::int64_t key;
        std::optional<std::int64_t> digest;  // of the row as taken, where it was recorded
    };

    // Inside the central transaction of the transfer.
    void record(int cassa, std::string_view table, std::int64_t key,
                std::optional<std::int64_t> digest = std::nullopt);
    bool holds(int cassa, std::string_view table, std::int64_t key);
    std::vector<std::int64_t> keys(int cassa, std::string_view table);
    std::vector<Entry> entries(int cassa, std::string_view table);
    // After the register side committed its marks.
    void clear(int cassa, std::string_view table, const std::vector<std::int64_t>& keys);

    // Applies `mark_sql` (one parameter: the key set, e.g. "UPDATE movimenti SET
    // aggiornogiacenza='S' WHERE id IN (SELECT value FROM json_each(?))") to every key the
    // ledger holds for this register and table, then clears them. Returns how many keys
    // were settled.
    int settle(Database& register_db, int cassa, std::string_view table, const std::string& mark_sql);

    // Marks `keys` at the register with one execution of `mark_sql` (the second commit).
    static void mark_at_register(Database& register_db, const std::string& mark_sql,
                                 const std::vector<std::int64_t>& keys);

private:
    Database& db_;
};

// The keys as the text a key set parameter takes: a JSON array of integers.
Value key_set(const std::vector<std::int64_t>& keys);

// A digest of a row's values (types included) as the ledger records it.
std::int64_t row_digest(const std::vector<Value>& values);

// Gives a ledger table written before rows had digests its digest column. Once per file;
// raises DbError, saying what to do, when the file cannot be changed.
void upgrade_ledger_table(Database& central);

}  // namespace cassasync::data
