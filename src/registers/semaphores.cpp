#include "registers/semaphores.h"

#include <algorithm>
#include <string>
#include <thread>

#include "data/record_set.h"

namespace cassasync::registers {

namespace {

// Take and release change the first row only, and only from a value the service may
// overwrite, in one statement: the register's software works on the same row from
// another machine, and a separate read and write would let a 1 it sets in between be
// overwritten. The outcome is otherwise the same as reading the row and writing it.
constexpr const char* kSetFirstFlag =
    "UPDATE Semafori SET Flag1 = ? WHERE rowid = (SELECT min(rowid) FROM Semafori) AND Flag1 IN (?, ?)";
constexpr const char* kAnyRow = "SELECT 1 FROM Semafori LIMIT 1";
constexpr const char* kFirstFlag = "SELECT Flag1 FROM Semafori ORDER BY rowid LIMIT 1";

data::Database& register_db(core::StepContext& ctx, int n) {
    if (n < 1 || n > core::kMaxRegisters) {
        throw data::DbError("register number " + std::to_string(n) + " is outside 1.." +
                            std::to_string(core::kMaxRegisters));
    }
    return ctx.databases.open(ctx.Percorsi_Casse[static_cast<std::size_t>(n)], data::FileRole::register_share);
}

// An unattended service cannot wait for someone to dismiss a box: the log says it.
void log_not_initialised(core::StepContext& ctx, int n) {
    ctx.log.progress("Semaforo cassa " + std::to_string(n) + " non inizializzato!");
}

// Free or the service's own hold becomes `to`; the rows changed.
int set_first_flag(data::Database& db, Semaforo to) {
    const auto flag = [](Semaforo s) { return data::Value(static_cast<std::int64_t>(s)); };
    return db.execute(kSetFirstFlag, {flag(to), flag(Semaforo::Libero), flag(Semaforo::Servizio)});
}

// Runs a conditional take or release; logs when the table has no row at all.
void set_first_row(core::StepContext& ctx, int n, Semaforo to) {
    auto& db = register_db(ctx, n);
    if (set_first_flag(db, to) == 0 && data::is_null(db.scalar(kAnyRow))) log_not_initialised(ctx, n);
}

}  // namespace

int Leggi_Semaforo(core::StepContext& ctx, int n) {
    auto& db = register_db(ctx, n);
    data::Channel semafori("Semafori");
    auto& rs = semafori.select(db, "Semafori", {}, {}, "rowid");
    if (rs.eof()) {
        log_not_initialised(ctx, n);
        return 0;
    }
    rs.move_first();
    // A null is neither free nor ours: busy, like any other foreign value.
    const auto flag = data::to_int_or(rs.field("Flag1"), static_cast<int>(Semaforo::Cassa));
    return flag == static_cast<int>(Semaforo::Libero) || flag == static_cast<int>(Semaforo::Servizio) ? 0 : 1;
}

void Prendi_Semaforo(core::StepContext& ctx, int n) { set_first_row(ctx, n, Semaforo::Servizio); }

namespace {
// How often a paused service looks at the semaphore and the stop flag: every look is one
// short read, and each one saved the drain a few milliseconds per turn.
constexpr std::chrono::milliseconds kPoll{1};

// Waits `span`; false when a stop was requested meanwhile.
bool pause_for(const core::StepContext& ctx, std::chrono::milliseconds span) {
    const auto until = SemaphoreTurns::Clock::now() + span;
    while (!ctx.stop_requested.load()) {
        const auto now = SemaphoreTurns::Clock::now();
        if (now >= until) return true;
        std::this_thread::sleep_for(std::min<SemaphoreTurns::Clock::duration>(until - now, kPoll));
    }
    return false;
}
}  // namespace

SemaphoreTurns::SemaphoreTurns(core::StepContext& ctx, int n, TurnLimits limits)
    : ctx_(ctx), n_(n), limits_(limits), started_(Clock::now()), taken_at_(started_), last_call_(started_) {}

SemaphoreTurns::Clock::duration SemaphoreTurns::longest_hold() const {
    return std::max(longest_hold_, Clock::now() - taken_at_);
}

core::BatchTurn SemaphoreTurns::between_batches() {
    const auto now = Clock::now();
    // The next batch will take about as long as the last one: let go before it would
    // carry the stretch past `hold`.
    const auto batch = now - last_call_;
    last_call_ = now;
    if (ctx_.stop_requested.load() || now - started_ >= limits_.budget) return core::BatchTurn::wait_next_cycle;
    if (now - taken_at_ + batch < limits_.hold) return core::BatchTurn::go_on;
    if (!release()) return core::BatchTurn::go_on;
    auto& db = register_db(ctx_, n_);
    // Free until the register's software takes it, or for `pause` when it does not come:
    // the service then goes on as soon as the register has written.
    const auto pause_end = Clock::now() + limits_.pause;
    while (Clock::now() < pause_end) {
        if (!pause_for(ctx_, kPoll)) return core::BatchTurn::wait_next_cycle;
        if (holds_it(db)) break;
    }
    return take_back();
}

bool SemaphoreTurns::let_go() {
    if (!limits_.free_while_working || ctx_.stop_requested.load() || Clock::now() - started_ >= limits_.budget) {
        return false;
    }
    return release();
}

bool SemaphoreTurns::holds_it(data::Database& db) {
    return data::to_int_or(db.scalar(kFirstFlag), 0) == static_cast<int>(Semaforo::Cassa);
}

bool SemaphoreTurns::release() {
    const auto now = Clock::now();
    longest_hold_ = std::max(longest_hold_, now - taken_at_);
    // Not Rilascia_Semaforo: an error here must end the transfer, not pass unseen.
    if (set_first_flag(register_db(ctx_, n_), Semaforo::Libero) == 0) {
        // Not the service's to give: no semaphore row, or the register's own software
        // held it when the steps began (registers 1 to 3 go ahead regardless).
        taken_at_ = Clock::now();
        last_call_ = taken_at_;
        return false;
    }
    ++turns_;
    return true;
}

core::BatchTurn SemaphoreTurns::take_back() {
    auto& db = register_db(ctx_, n_);
    const auto give_up = Clock::now() + limits_.retake_wait;
    // The register may have taken it meanwhile (1): its write is short, wait for it. The
    // wait reads the flag rather than trying to write it: a write would meet the
    // register's own write lock, and SQLite's busy wait backs off far longer than the
    // register writes.
    while (holds_it(db) || set_first_flag(db, Semaforo::Servizio) == 0) {
        if (Clock::now() >= give_up || !pause_for(ctx_, kPoll)) return core::BatchTurn::wait_next_cycle;
    }
    taken_at_ = Clock::now();
    last_call_ = taken_at_;
    return core::BatchTurn::resumed_after_turn;
}

std::string Rilascia_Semaforo(core::StepContext& ctx, int n) {
    try {
        set_first_row(ctx, n, Semaforo::Libero);
        return {};
    } catch (const std::exception& e) {
        return e.what();
    }
}

}  // namespace cassasync::registers
