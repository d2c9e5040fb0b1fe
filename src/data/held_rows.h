// Register rows that could not be taken. A row whose transfer fails is held: its own
// effects are undone, it stays unmarked at the register and waits there, and the rows
// after it go on. Each later run tries it again; the run that takes it removes it from
// the held table in the same central commit that records it in the transfer ledger, so
// the two never hold the same row. Nothing is dropped: a held row leaves only by being
// taken.
//
// Its failure is written to the log once per day, not once per run; `request_retry`
// (the shop tool) makes the next failure of every held row write it again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/database.h"

namespace cassasync::data {

// Whether a transfer's error is the row's own (a value the back office cannot take)
// rather than the files' or the machine's (full, locked, unreadable, damaged, out of
// memory): only the first is held to the row; the second ends the run, since every later
// row would fail the same way.
bool caused_by_row(const DbError& e);

class HeldRows {
public:
    explicit HeldRows(Database& central) : db_(central) {}

    struct Row {
        int cassa = 0;
        std::string passo;
        std::int64_t chiave = 0;
        std::string causa;
        double primo = 0;   // day serials, time as fraction
        double ultimo = 0;
        std::int64_t tentativi = 0;
    };

    // Inside the transfer's central transaction. Records a failed try of row `key` at
    // `now` (a day serial with the time as fraction); true when its failure is to be
    // written to the log: the first failure, or the first one of another day.
    bool hold(int cassa, std::string_view passo, std::int64_t key, std::int64_t digest,
              const std::string& cause, double now);
    // Inside the transfer's central transaction, when row `key` was taken: removes it and
    // gives the tries it had been held for; nothing when it was not held.
    std::optional<std::int64_t> release(int cassa, std::string_view passo, std::int64_t key);

    std::vector<std::int64_t> keys(int cassa, std::string_view passo);
    std::int64_t count(int cassa);
    // Every held row, or those of one register, by register, step and key.
    std::vector<Row> list(std::optional<int> cassa = std::nullopt);
    // The next failure of every held row is written to the log again. Gives how many.
    int request_retry();

private:
    Database& db_;
};

}  // namespace cassasync::data
