// Exactly-once transfers without a transaction that spans two machines. A transfer
// commits its central effects together with a ledger entry per register row it took
// (register number, register table, the row's key); then one short transaction at the
// register marks or deletes exactly those rows; then the entries are cleared. Before a
// register table is read again, settle() marks any rows the ledger still holds (a crash
// came between the two commits) without applying their effects a second time.
//
// A row can be recorded with a digest, and a settle then marks it only if the register
// row under its key still gives that digest; otherwise the row is left to be taken
// again. An article or a customer row is digested whole, since the register may change
// it again after it was taken; a receipt line by what makes it that line, since a
// register database written anew numbers its lines from 1 again.
//
// A register statement reaches a set of rows in one execution, through a key set
// (data/key_set.h).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "data/database.h"
#include "data/key_set.h"
#include "data/record_set.h"

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
    // aggiornogiacenza='S' WHERE " + in_key_set("id")) to every key the ledger holds for
    // this register and table, then clears them. Returns how many keys were settled.
    int settle(Database& register_db, int cassa, std::string_view table, const std::string& mark_sql);

    // As settle(), for rows recorded with a digest: a key is marked only when its entry
    // has no digest or its register row still gives the recorded one. `read_rows` reads
    // the register rows of a key set through the channel given; `key_and_digest` gives a
    // row's key and digest, as they were recorded. In one register transaction, so the
    // register cannot change a row between the check and the mark. Rows left unmarked
    // are taken again by the caller's next read; every entry is cleared. Returns how many
    // entries there were.
    using RowReader = std::function<RecordSet&(Channel&, const Value& key_set)>;
    using RowDigest = std::function<std::pair<std::int64_t, std::int64_t>(const RecordSet&)>;
    int settle_unchanged(Database& register_db, int cassa, std::string_view table, const std::string& mark_sql,
                         const RowReader& read_rows, const RowDigest& key_and_digest);

    // Of `taken`, the keys whose row among `rows` (register rows read again) still gives
    // the recorded digest, or that were recorded without one.
    static std::vector<std::int64_t> unchanged(const std::vector<Entry>& taken, RecordSet& rows,
                                               const RowDigest& key_and_digest);

    // Marks `keys` at the register with one execution of `mark_sql` (the second commit).
    static void mark_at_register(Database& register_db, const std::string& mark_sql,
                                 const std::vector<std::int64_t>& keys);

private:
    Database& db_;
};

// A digest of a row's values (types included) as the ledger records it.
std::int64_t row_digest(const std::vector<Value>& values);

// Gives a ledger table written before rows had digests its digest column. Once per file;
// raises DbError, saying what to do, when the file cannot be changed.
void upgrade_ledger_table(Database& central);

}  // namespace cassasync::data
