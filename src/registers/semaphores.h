// The one-row `Semafori` table in a register's database, shared with the register's own
// software: `Flag1` 0 = free, 1 = held by the register, 2 = held by the service. The
// service never waits for it: it skips the register or goes ahead.
#pragma once

#include <chrono>
#include <string>

#include "core/register_vocabulary.h"
#include "core/step_context.h"

namespace cassasync::registers {

using core::Semaforo;

// 1 when Flag1 is neither 0 nor 2 (held by the register), else 0. An empty table logs
// "Semaforo cassa N non inizializzato!" and reports free.
int Leggi_Semaforo(core::StepContext& ctx, int n);
// Flag1 0 or 2 becomes 2; any other value is left alone.
void Prendi_Semaforo(core::StepContext& ctx, int n);
// Flag1 0 or 2 becomes 0; any other value is left alone. Never raises: a failure is given
// as its cause (empty when done), the flag stays as it was, and the next take accepts a 2
// as the service's own.
std::string Rilascia_Semaforo(core::StepContext& ctx, int n);

// How long the service keeps a register's semaphore while it drains a backlog.
struct TurnLimits {
    std::chrono::milliseconds hold{100};        // at most this long in one stretch
    // Then free for this long at most: longer than the register's software waits between
    // two tries, so that it gets its turn at the first free spell.
    std::chrono::milliseconds pause{40};
    std::chrono::milliseconds budget{2000};     // the register's share of one cycle
    std::chrono::milliseconds retake_wait{1000};  // how long the register may keep it meanwhile
    // Free while the service works on a batch it has read (SemaphoreTurns::let_go).
    bool free_while_working = true;
};

// Turns at a register's semaphore while the service drains a backlog there. Between two
// committed batches the service holds nothing at the register, so it may let the
// register's own software in: before the next batch would carry the stretch past `hold`
// (batches are expected to last as long as the last one), the semaphore is set to 0 until
// the register's software takes it, or for `pause` when it does not come, and then taken
// again, waiting while the register writes. Created by the cycle after it took the
// semaphore; lives for that register's steps in one cycle.
class SemaphoreTurns {
public:
    using Clock = std::chrono::steady_clock;
    SemaphoreTurns(core::StepContext& ctx, int n, TurnLimits limits = {});

    // Between two batches: go on (with the semaphore kept, or taken again after the
    // register's turn); or wait for the next cycle when the register's share of the cycle
    // is used up, the register kept its semaphore past `retake_wait`, or a stop was
    // requested.
    core::BatchTurn between_batches();
    // While the service works on rows it has read and holds nothing at the register: the
    // semaphore is set to 0 (false when it was not the service's to give, or the share of
    // the cycle is used up), and taken back once the register's software, if it came,
    // has written (resumed_after_turn; wait_next_cycle as above).
    bool let_go();
    core::BatchTurn take_back();  // also after a turn between batches
    // The longest stretch the semaphore was held so far, and how many times it was let go.
    Clock::duration longest_hold() const;
    int turns() const { return turns_; }

private:
    static bool holds_it(data::Database& db);  // the register's own software holds the semaphore
    bool release();

    core::StepContext& ctx_;
    int n_;
    TurnLimits limits_;
    Clock::time_point started_;
    Clock::time_point taken_at_;
    Clock::time_point last_call_;  // the end of the last batch
    Clock::duration longest_hold_{};
    int turns_ = 0;
};

}  // namespace cassasync::registers
