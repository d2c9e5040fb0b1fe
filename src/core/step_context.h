// What a register step works with: the outside world (paths, clock, pinger, process
// starter), the operation log, the status board, the open databases, the settings, the
// register table and the hooks the cycle sets around a register. The program's context
// (frame/context.h) is one of these plus what only start-up and the cycle keep; steps
// receive this part only. Start-up writes the settings and the register table;
// afterwards only the worker thread reads and writes the rest (the status board and the
// stop flag are the only members touched from other threads, and both are thread-safe).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include "core/operation_log.h"
#include "core/register_table.h"
#include "core/settings.h"
#include "core/status_board.h"
#include "data/connections.h"
#include "data/transfer_engine.h"
#include "platform/clock.h"
#include "platform/path_map.h"
#include "platform/pinger.h"
#include "platform/process_starter.h"

namespace cassasync::core {

// What a long transfer does next, between two batches.
enum class BatchTurn {
    go_on,               // the semaphore was kept: what the transfer holds in memory is current
    resumed_after_turn,  // the register's software had its turn: read the register again
    wait_next_cycle,     // the register's share of the cycle is used up
};

struct StepContext : RegisterTable {
    StepContext(const platform::PathMap& path_map, platform::Clock& wall_clock, platform::Pinger& echo,
                platform::ProcessStarter& process_starter)
        : paths(path_map), clock(wall_clock), pinger(echo), starter(process_starter), log(wall_clock),
          databases(path_map, [this](const std::string& line) { log.progress(line); }) {}
    // The databases' notices go to this context's own log.
    StepContext(const StepContext&) = delete;
    StepContext& operator=(const StepContext&) = delete;

    const platform::PathMap& paths;
    platform::Clock& clock;
    platform::Pinger& pinger;
    platform::ProcessStarter& starter;

    OperationLog log;
    StatusBoard board;
    data::Connections databases;

    Settings settings;

    // The day serial of the last close request carried out (0: none since start); the
    // cycle takes a backup after one.
    long last_close_day = 0;

    // Each register's last closed day as checked against the central rows (the alerts
    // tell a difference until that register's next checked close agrees).
    struct DayCheck {
        long day = 0;         // day serial; 0: none checked since start
        int differences = 0;  // 0: it agreed
    };
    std::array<DayCheck, kMaxRegisters + 1> day_checks{};  // index 0 unused

    // Registers actually served: Numero_Casse bounded to the ten the system has.
    int served_registers() const { return served(settings.Numero_Casse); }

    // Set by the exit button or a signal; the worker finishes the step under way.
    std::atomic<bool> stop_requested{false};

    // The cycle's turns at a register's semaphore, set while it holds it; empty otherwise.
    // A long transfer asks `between_batches` before each batch, when it holds nothing at
    // the register: it may let the register's own software in, or say that the rest waits
    // for the next cycle. One whose rows can check themselves may instead `let_go` while
    // it works on a batch it has read, and `take_back` the semaphore before it writes at
    // the register again. A batch worked on with the semaphore kept lasts at most
    // `held_batch_time`, so that a stretch stays within what the turns allow.
    struct Turns {
        std::function<BatchTurn()> between_batches;
        std::function<bool()> let_go;
        std::function<BatchTurn()> take_back;
        std::chrono::milliseconds held_batch_time{0};
    };
    Turns turns;
};

inline data::Turn to_transfer_turn(BatchTurn turn) {
    switch (turn) {
        case BatchTurn::go_on: return data::Turn::go_on;
        case BatchTurn::resumed_after_turn: return data::Turn::reread;
        case BatchTurn::wait_next_cycle: break;
    }
    return data::Turn::stop;
}

// The cycle's turns as the transfer engine asks for them, read when asked: a plan whose
// register is not held by the cycle gets none.
inline void use_turns(StepContext& ctx, data::TransferPlan& plan) {
    if (ctx.turns.between_batches) {
        plan.between_batches = [&ctx] { return to_transfer_turn(ctx.turns.between_batches()); };
    }
    if (ctx.turns.let_go && ctx.turns.take_back) {
        plan.let_go = [&ctx] { return ctx.turns.let_go(); };
        plan.take_back = [&ctx] { return to_transfer_turn(ctx.turns.take_back()); };
    }
    plan.held_batch_time = ctx.turns.held_batch_time;
}

}  // namespace cassasync::core
