#include "masterdata/register_intake.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <vector>

#include "data/transfer_ledger.h"

namespace cassasync::masterdata {

namespace {
// A batch commits after this many rows or this much time, whichever comes first, so
// the register is never locked for long and a failure repeats little work.
constexpr std::size_t kBatchRows = 500;
constexpr std::chrono::milliseconds kBatchTime{1000};
constexpr const char* kRowKey = "id";
constexpr const char* kKeyIn = "id IN (SELECT value FROM json_each(?))";
}  // namespace

int settle_intake(data::Database& central, data::Database& register_db, int n, const IntakeTable& intake) {
    // An entry without a digest was written before rows had one: marked as before.
    return data::TransferLedger(central).settle_unchanged(
        register_db, n, intake.table, intake.mark_sql,
        [&](data::Channel& channel, const data::Value& keys) -> data::RecordSet& {
            return channel.select(register_db, std::string(intake.table), kKeyIn, {keys});
        },
        [](const data::RecordSet& row) { return std::pair(row.integer(kRowKey), data::row_digest(row.values())); });
}

void take_rows(data::Database& central, data::Database& register_db, int n,
               const IntakeTable& intake, data::RecordSet& rows,
               const std::function<void(data::RecordSet&)>& apply) {
    data::TransferLedger ledger(central);
    std::exception_ptr failure;
    rows.move_first();
    while (!rows.eof() && !failure) {
        std::vector<std::int64_t> keys;
        const auto started = std::chrono::steady_clock::now();
        {
            data::Transaction tx(central);
            do {
                // A failing row leaves nothing behind; the rows before it are taken, so a
                // row that always fails holds back only itself and those after it.
                data::Savepoint savepoint(central, "riga");
                try {
                    apply(rows);
                    const std::int64_t key = rows.integer(kRowKey);
                    ledger.record(n, intake.table, key, data::row_digest(rows.values()));
                    savepoint.release();
                    keys.push_back(key);
                } catch (...) {
                    // A failure that ended the whole transaction leaves nothing of the batch to keep.
                    if (!savepoint.undo()) throw;
                    failure = std::current_exception();
                    break;
                }
                rows.move_next();
            } while (!rows.eof() && keys.size() < kBatchRows &&
                     std::chrono::steady_clock::now() - started < kBatchTime);
            tx.commit();
        }
        // The batch's rows are now the ledger's only entries for this table: settling them
        // marks those the register has not changed again since they were read (a row it
        // changed meanwhile is taken again, with its newer values) and clears the entries.
        if (!keys.empty()) settle_intake(central, register_db, n, intake);
    }
    if (failure) std::rethrow_exception(failure);
}

}  // namespace cassasync::masterdata
