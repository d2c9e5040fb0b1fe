// The one way a register's rows reach the back office: every intake (receipt lines,
// register articles and customers, card readings) hands its per-row work to this engine,
// which takes the rows in batches, exactly once, without a transaction that spans the
// register's machine (data/transfer_ledger.h):
//   1. a central transaction applies a batch's rows, each in a savepoint of its own, and
//      records a ledger entry per row taken;
//   2. one short register transaction marks (or deletes) exactly those rows;
//   3. the entries are cleared, in the next batch's central transaction or at the end.
// A row that fails is undone alone. Its fate is the transfer's choice (RowFailure): held
// (data/held_rows.h; it waits unmarked at the register, the rows after it go on, and
// each later run tries it again) or the end of the run once the rows before it are
// committed and marked. A failure of the files rather than of the row always ends the
// run with its error, and the batch under way leaves nothing behind.
//
// The engine and its rows live for one run of one register's transfer.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "data/database.h"
#include "data/held_rows.h"
#include "data/record_set.h"
#include "data/transfer_ledger.h"

namespace cassasync::data {

// What becomes of a row that cannot be taken.
enum class RowFailure {
    hold,        // held with its cause; the rows after it go on
    fail_batch,  // the rows before it are committed and marked, then its error ends the run
};

// What the transfer does next, between two batches.
enum class Turn {
    go_on,   // what the engine holds in hand is still current
    reread,  // the register may have changed its rows: read them again
    stop,    // the rest waits for the next run
};

// A value a row cannot be taken with, found by the transfer's own checks: the row is held
// (or ends the run) with this text as its cause, like any failure of the row.
class RowRefused : public DbError {
public:
    explicit RowRefused(const std::string& cause) : DbError(DbError::refused_row(cause)) {}
};

// The rows of one transfer and their work. The engine walks them in order and calls
// every member on the thread that runs it.
class TransferRows {
public:
    virtual ~TransferRows() = default;
    // Reads the rows waiting at the register, none of `skip` (rows this run has held), at
    // most `limit`, and stands on the first. Gives how many rows it read.
    virtual std::size_t read(const std::vector<std::int64_t>& skip, std::size_t limit) = 0;
    // Called after each read, once the register is let go: the work on what was read
    // that needs no register (unpacking the rows) is not counted as holding it.
    virtual void after_read() {}
    // Whether more rows than a read gave may be waiting: a read that gave `limit` rows
    // may have left some.
    virtual bool reads_in_parts() const { return true; }
    virtual bool at_end() const = 0;
    virtual void next() = 0;
    // The current row's key and digest, as the ledger and the held table record them.
    virtual std::int64_t key() const = 0;
    virtual std::int64_t digest() const = 0;
    // What the log says of the current row after its key ("scontrino 12"); may be empty.
    virtual std::string name() const { return {}; }
    // How an error that ends the run names the current row ("receipt line 5 (receipt 3)");
    // empty: the error is passed on as it is.
    virtual std::string where() const { return {}; }
    // A cause found when the row was read: the row fails without being applied.
    virtual std::string refused() const { return {}; }
    // Applies the current row's central effects inside the batch's transaction. Raises
    // DbError (RowRefused for a refused value) when the row cannot be taken.
    virtual void apply() = 0;
    // Forgets what a failed row left in memory; what it wrote is already undone.
    virtual void forget() {}
    // Inside the batch's central transaction: before its first row, after its last.
    virtual void begin_batch() {}
    virtual void end_batch() {}
    // The second commit: marks the batch's rows taken at the register, in one short
    // transaction. `taken` holds each row's key and digest as recorded.
    virtual void mark(const std::vector<TransferLedger::Entry>& taken) = 0;
    // Whether the rows can say that they are still as read (still_as_read).
    virtual bool can_check() const { return false; }
    // Reads `taken` again at the register: true when every one still waits with the
    // digest it was taken with.
    virtual bool still_as_read(const std::vector<TransferLedger::Entry>&) { return false; }
    // The batch's central transaction was undone whole: what its rows left in memory goes
    // with it.
    virtual void abandon_batch() {}
};

// Rows a transfer has already read into a record set, walked from first to last (an
// intake's changed rows, a register's card readings). The key is the `id` column; the
// digest covers the whole row, since the register may change it again after it was read.
// After the register's software had its turn the rows are read again through `reread`,
// which fills the same record set with the rows still waiting, none of `skip`; without
// one, the walk ends there and the rest waits for the next run.
class RecordSetRows : public TransferRows {
public:
    using Reread = std::function<void(const std::vector<std::int64_t>& skip)>;
    explicit RecordSetRows(RecordSet& rows, Reread reread = {}) : rows_(rows), reread_(std::move(reread)) {}
    std::size_t read(const std::vector<std::int64_t>& skip, std::size_t limit) override;
    bool reads_in_parts() const override { return false; }
    bool at_end() const override { return rows_.eof(); }
    void next() override { rows_.move_next(); }
    std::int64_t key() const override { return rows_.integer("id"); }
    std::int64_t digest() const override { return row_digest(rows_.values()); }

protected:
    RecordSet& rows_;

private:
    Reread reread_;
    bool read_ = false;
};

struct TransferPlan {
    int cassa = 0;
    std::string table;  // the register table, as the ledger names it
    std::string step;   // the held table's name of the transfer ("scontrini")
    std::size_t batch_rows = 1000;  // at most this many rows per batch
    std::chrono::milliseconds batch_time{250};  // and no longer than this
    RowFailure on_failure = RowFailure::hold;
    // Asked before every batch, when nothing is held at the register; none: always go on.
    std::function<Turn()> between_batches;
    // For rows that can check themselves, once a full batch is read: true when the
    // register was let go while the batch is applied. Then `take_back` is asked before the
    // commit: go_on once the register is held again, stop when it could not be (the batch
    // is undone and the rest waits for the next run).
    std::function<bool()> let_go;
    std::function<Turn()> take_back;
    // A batch worked on with the register held lasts no longer than this either (0: no
    // other bound than batch_time).
    std::chrono::milliseconds held_batch_time{0};
    // Called after a batch's central commit, before its rows are marked (a test's hook).
    std::function<void()> after_central_commit;
    // Now, as a day serial with the time as fraction, for the held table.
    std::function<double()> now;
    // Writes one log line; the lines of a batch are written once it has committed.
    std::function<void(const std::string&)> log;
};

// What a run did.
struct TransferFigures {
    std::int64_t rows = 0;  // rows taken
    std::int64_t held = 0;  // rows held by this run
    int batches = 0;        // batches that took rows
    bool cut_short = false;  // between_batches said stop
    // Longest single hold of the register database (a read or a mark), and all together.
    std::chrono::microseconds longest_register_hold{0};
    std::chrono::microseconds register_time{0};
    std::chrono::microseconds central_commit_time{0};
};

class TransferEngine {
public:
    TransferEngine(Database& central, TransferPlan plan);

    // Takes every row `rows` gives. Raises the first failure that ends the run.
    TransferFigures run(TransferRows& rows);

    // Held rows of the plan's step that the register no longer has waiting (deleted there,
    // changed back, or its file written anew without them) leave the held table, each with
    // a log line: nothing of them is left to take, and they would be counted as held for
    // ever. `still_waiting` gives which of the held keys it is given still wait.
    using WaitingKeys = std::function<std::vector<std::int64_t>(const std::vector<std::int64_t>& held)>;
    void forget_vanished(const WaitingKeys& still_waiting);

    // Times `f` as a hold of the register database, in the run's figures.
    template <typename F>
    decltype(auto) hold_register(F&& f) {
        const auto started = std::chrono::steady_clock::now();
        decltype(auto) result = f();
        count_register_hold(started);
        return result;
    }
    const TransferFigures& figures() const { return figures_; }

private:
    void count_register_hold(std::chrono::steady_clock::time_point started);
    // Takes the current row in a savepoint; false when it failed (and was held or, under
    // fail_batch, left in failure_).
    bool take(TransferRows& rows);
    void fail(TransferRows& rows, const std::string& cause);
    // What a batch's undo must set back: this run's held rows, its count, its log lines.
    struct BatchStart {
        std::size_t held_rows = 0;
        std::int64_t held = 0;
        std::size_t notes = 0;
    };
    void undo_batch(TransferRows& rows, const BatchStart& start);
    std::string row_name(const TransferRows& rows) const;

    Database& central_;
    TransferPlan plan_;
    TransferLedger ledger_;
    HeldRows held_;
    // The keys held for this register and step when the run took its first row: only
    // those can be released when taken (this run's own failures are not tried again).
    std::optional<std::unordered_set<std::int64_t>> held_before_;
    TransferFigures figures_;
    std::vector<std::int64_t> held_now_;
    std::vector<std::string> notes_;
    std::exception_ptr failure_;
};

}  // namespace cassasync::data
