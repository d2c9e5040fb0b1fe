#include "data/transfer_engine.h"

#include <algorithm>
#include <new>
#include <utility>

namespace cassasync::data {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kRowSavepoint = "riga";
constexpr const char* kMsgRegister = "Cassa ";
constexpr const char* kMsgStep = ", ";
constexpr const char* kMsgRow = ": riga ";
constexpr const char* kMsgNameOpen = " (";
constexpr const char* kMsgNameClose = ")";
constexpr const char* kMsgHeld = " trattenuta: ";
constexpr const char* kMsgTakenAfter = " presa dopo ";
constexpr const char* kMsgTries = " tentativi";
constexpr const char* kMsgGone = " non piu' in attesa alla cassa: tolta dalle righe trattenute";
constexpr const char* kMsgBatch = ": partita di ";
constexpr const char* kMsgBatchAgain = " righe riletta: una riga e' cambiata alla cassa nel frattempo";

}  // namespace

std::size_t RecordSetRows::read(const std::vector<std::int64_t>& skip, std::size_t) {
    // The rows were read whole by their owner; a second read comes after a turn, when the
    // register may have changed them, and has nothing more to give without `reread_`.
    if (read_) {
        if (!reread_) {
            rows_.move_last();
            if (!rows_.eof()) rows_.move_next();
            return 0;
        }
        reread_(skip);
    }
    read_ = true;
    rows_.move_first();
    return rows_.size();
}

TransferEngine::TransferEngine(Database& central, TransferPlan plan)
    : central_(central), plan_(std::move(plan)), ledger_(central), held_(central) {
    if (plan_.batch_rows == 0) plan_.batch_rows = 1;
}

void TransferEngine::count_register_hold(Clock::time_point started) {
    const auto held = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started);
    figures_.longest_register_hold = std::max(figures_.longest_register_hold, held);
    figures_.register_time += held;
}

std::string TransferEngine::row_name(const TransferRows& rows) const {
    std::string out = kMsgRegister + std::to_string(plan_.cassa) + kMsgStep + plan_.step + kMsgRow +
                      std::to_string(rows.key());
    if (const std::string name = rows.name(); !name.empty()) out += kMsgNameOpen + name + kMsgNameClose;
    return out;
}

void TransferEngine::forget_vanished(const WaitingKeys& still_waiting) {
    const auto held = held_.keys(plan_.cassa, plan_.step);
    if (held.empty()) return;
    auto waiting = still_waiting(held);
    std::sort(waiting.begin(), waiting.end());
    std::vector<std::int64_t> gone;
    for (const auto key : held) {
        if (!std::binary_search(waiting.begin(), waiting.end(), key)) gone.push_back(key);
    }
    if (gone.empty()) return;
    Transaction tx(central_);
    for (const auto key : gone) held_.release(plan_.cassa, plan_.step, key);
    tx.commit();
    if (!plan_.log) return;
    for (const auto key : gone) {
        plan_.log(kMsgRegister + std::to_string(plan_.cassa) + kMsgStep + plan_.step + kMsgRow + std::to_string(key) +
                  kMsgGone);
    }
}

void TransferEngine::fail(TransferRows& rows, const std::string& cause) {
    if (plan_.on_failure == RowFailure::fail_batch) {
        failure_ = std::current_exception();
        if (!failure_) failure_ = std::make_exception_ptr(RowRefused(cause));
        return;
    }
    const double now = plan_.now ? plan_.now() : 0.0;
    if (held_.hold(plan_.cassa, plan_.step, rows.key(), rows.digest(), cause, now)) {
        notes_.push_back(row_name(rows) + kMsgHeld + cause);
    }
    held_now_.push_back(rows.key());
    ++figures_.held;
}

void TransferEngine::undo_batch(TransferRows& rows, const BatchStart& start) {
    rows.abandon_batch();
    held_now_.resize(start.held_rows);
    figures_.held = start.held;
    notes_.resize(start.notes);
    failure_ = nullptr;  // its row is read again, and fails again if it still must
}

bool TransferEngine::take(TransferRows& rows) {
    if (const std::string cause = rows.refused(); !cause.empty()) {
        fail(rows, cause);
        return false;
    }
    Savepoint savepoint(central_, kRowSavepoint);
    try {
        rows.apply();
        ledger_.record(plan_.cassa, plan_.table, rows.key(), rows.digest());
        if (!held_before_) {
            const auto keys = held_.keys(plan_.cassa, plan_.step);
            held_before_.emplace(keys.begin(), keys.end());
        }
        if (held_before_->count(rows.key()) > 0) {
            if (const auto tries = held_.release(plan_.cassa, plan_.step, rows.key())) {
                notes_.push_back(row_name(rows) + kMsgTakenAfter + std::to_string(*tries + 1) + kMsgTries);
            }
        }
        savepoint.release();
        return true;
    } catch (const DbError& e) {
        // A failure that ended the whole transaction, or one of the files rather than of
        // the row, ends the run: every later row would meet it too.
        if (!savepoint.undo() || e.failure() != Failure::refused_row) {
            const std::string where = rows.where();
            if (where.empty()) throw;
            throw DbError(where + ": " + e.what(), e.code());
        }
        rows.forget();
        fail(rows, e.what());
        return false;
    } catch (const std::bad_alloc&) {
        throw;  // the machine, not the row
    } catch (const std::exception& e) {
        // Not a database error: the row's own work refused it (a value it could not read).
        if (!savepoint.undo()) throw;
        rows.forget();
        fail(rows, e.what());
        return false;
    }
}

TransferFigures TransferEngine::run(TransferRows& rows) {
    const std::size_t limit = plan_.batch_rows;
    auto read = [&] {
        const std::size_t got = hold_register([&] { return rows.read(held_now_, limit); });
        rows.after_read();
        return rows.reads_in_parts() && got >= limit;
    };
    bool more_waiting = read();
    bool reread = false;  // the rows in hand may be stale: read the waiting ones again
    // Ledger entries of the last batch, already marked at the register. They are cleared
    // in the next batch's transaction, which spares a commit of their own.
    std::vector<std::int64_t> marked;
    bool register_let_go = false;  // let go for the batch under way, not yet taken back
    try {
        for (;;) {
            // Before a batch nothing is held at the register: its own software may have its
            // turn, and may change waiting rows meanwhile, so after a turn they are read again.
            if ((!rows.at_end() || more_waiting) && plan_.between_batches) {
                const Turn turn = plan_.between_batches();
                if (turn == Turn::stop) {
                    figures_.cut_short = true;
                    break;
                }
                if (turn == Turn::reread) reread = true;
            }
            if (rows.at_end() || reread) {
                if (!more_waiting && !reread) break;
                reread = false;
                more_waiting = read();
                if (rows.at_end()) break;
            }
            std::vector<TransferLedger::Entry> taken;
            {
                Transaction tx(central_);
                ledger_.clear(plan_.cassa, plan_.table, marked);
                // A full read means a backlog: its batch is worth the register's turn.
                const bool let_go = more_waiting && rows.can_check() && plan_.let_go && plan_.take_back &&
                                    plan_.let_go();
                register_let_go = let_go;
                const BatchStart start{held_now_.size(), figures_.held, notes_.size()};
                rows.begin_batch();
                const auto started = Clock::now();
                const auto batch_time = let_go || plan_.held_batch_time.count() <= 0
                                            ? plan_.batch_time
                                            : std::min(plan_.batch_time, plan_.held_batch_time);
                while (!rows.at_end() && !failure_ && taken.size() < plan_.batch_rows &&
                       (taken.empty() || Clock::now() - started < batch_time)) {
                    if (take(rows)) taken.push_back({rows.key(), rows.digest()});
                    // A failure that ends the run leaves its row current: nothing after it is read.
                    if (!failure_) rows.next();
                }
                rows.end_batch();
                if (let_go) {
                    register_let_go = false;
                    const Turn back = plan_.take_back();
                    if (back == Turn::stop || !hold_register([&] { return rows.still_as_read(taken); })) {
                        undo_batch(rows, start);  // the transaction goes with `tx`
                        if (back == Turn::stop) {
                            figures_.cut_short = true;
                            break;
                        }
                        if (plan_.log) {
                            plan_.log(kMsgRegister + std::to_string(plan_.cassa) + kMsgStep + plan_.step + kMsgBatch +
                                      std::to_string(taken.size()) + kMsgBatchAgain);
                        }
                        reread = true;
                        continue;
                    }
                }
                const auto committing = Clock::now();
                tx.commit();
                figures_.central_commit_time +=
                    std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - committing);
            }
            marked.clear();
            if (plan_.log) {
                for (const auto& note : notes_) plan_.log(note);
            }
            notes_.clear();
            if (!taken.empty()) {
                if (plan_.after_central_commit) plan_.after_central_commit();
                hold_register([&] {
                    rows.mark(taken);
                    return 0;
                });
                for (const auto& entry : taken) marked.push_back(entry.key);
                figures_.rows += static_cast<std::int64_t>(taken.size());
                ++figures_.batches;
            }
            if (failure_) std::rethrow_exception(failure_);
        }
    } catch (...) {
        // The error goes up; entries of rows already marked need not wait for a settle.
        try {
            ledger_.clear(plan_.cassa, plan_.table, marked);
        } catch (...) {
        }
        // The register's steps after this one still work there under the semaphore.
        if (register_let_go) {
            try {
                plan_.take_back();
            } catch (...) {
                // The error that ended the run is the one to report.
            }
        }
        throw;
    }
    ledger_.clear(plan_.cassa, plan_.table, marked);
    return figures_;
}

}  // namespace cassasync::data
