// The receipt import: a register's waiting receipt lines (`movimenti` with `bflag3`
// "S" and `aggiornogiacenza` "N") become rows of the register's daily sales document,
// with stock, last-sale, barcode and points bookkeeping, each line taken exactly once.
// The cycle runs the register's closing check right after it (frame/register_steps.cpp).
//
// Exactly once without a transaction spanning the register's machine, through the
// transfer engine (data/transfer_engine.h): lines are taken in batches; a batch's central effects (sales rows, a new header, the document counter,
// stock, barcodes, last sale, points, the loyalty journal) commit together with a ledger
// entry per register line on the central connection; then one short register
// transaction marks exactly those lines "S"; then the entries are cleared. A run first
// marks the lines the ledger still holds (a crash came between the two commits).
//
// A long backlog is taken in turns (StepContext::turns): while the service works on a full
// batch it has read, the register's own software may have its semaphore; the batch's
// lines are then read again before it commits, and a batch with a line changed meanwhile
// is undone and read afresh. When the register's share of the cycle is used up the rest,
// and a close request, wait for the next cycle.
//
// A line that fails (a value refused where it enters, or an error of its resolution, stock,
// points or row) is undone alone, in a savepoint of its batch's transaction, and held
// (data/held_rows.h): it waits at the register, unmarked, and the lines after it go on.
// Each later run tries it again. A failure of the files rather than of the line ends the
// run with its error.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "core/step_context.h"

namespace cassasync::sales {

// How a run cuts its work into batches, and what a test may hook into.
struct ImportTuning {
    std::size_t batch_lines = 2000;               // at most this many lines per batch
    std::chrono::milliseconds batch_time{250};    // and no longer than this
    // Called after a batch's central commit, before its lines are marked at the register.
    std::function<void()> after_central_commit;
};

// What a run did, for the benchmark and the tests.
struct ImportFigures {
    std::int64_t lines = 0;     // register lines imported
    int batches = 0;
    int settled = 0;            // lines marked from the ledger without being imported
    // The cycle's share for the register ran out (or the register kept its semaphore):
    // the rest waits for the next cycle, and so does a close request.
    bool cut_short = false;
    // The day serial the run took as today: the day a close request after it registers.
    long day = 0;
    // Longest single hold of the register database (a read of waiting lines or a
    // transaction marking them), and all of them together.
    std::chrono::microseconds longest_register_hold{0};
    std::chrono::microseconds register_time{0};
    // Time spent committing batches on the central files.
    std::chrono::microseconds central_commit_time{0};
};

// For the kill soak only: when this variable holds N > 0, the service kills itself
// (SIGKILL) after a batch's central commit, before the register's marks, with chance
// 1 in N. Left unset, the cycle's import has no hook.
inline constexpr const char* kKillAfterCommitVariable = "CASSASYNC_TEST_KILL_AFTER_COMMIT";
// For the kill soak only: batches of at most N lines, so that a few registers ringing make
// full batches, and the register is let go while the service works on them, all the time.
inline constexpr const char* kBatchLinesVariable = "CASSASYNC_TEST_BATCH_LINES";
ImportTuning tuning_from_environment();

ImportFigures Travaso_Scontrini(core::StepContext& ctx, int n);
ImportFigures Travaso_Scontrini(core::StepContext& ctx, int n, const ImportTuning& tuning);

}  // namespace cassasync::sales
