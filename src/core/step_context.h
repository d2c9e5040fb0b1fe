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

    // Set by the cycle while it holds a register's semaphore; empty otherwise. A long
    // transfer calls it before each batch, when it holds nothing at the register: it may
    // let the register's own software in, or say that the rest waits for the next cycle.
    std::function<BatchTurn()> between_batches;
    // Set beside it: let the register's software in while the service works on rows it has
    // read and holds nothing there, and take the semaphore back before the service
    // writes there again.
    std::function<bool()> let_register_go;
    std::function<BatchTurn()> take_register_back;
};

// The cycle's turns as the transfer engine asks for them (TransferPlan::between_batches),
// read when asked: empty when the cycle set none.
inline data::Turn to_transfer_turn(BatchTurn turn) {
    switch (turn) {
        case BatchTurn::go_on: return data::Turn::go_on;
        case BatchTurn::resumed_after_turn: return data::Turn::reread;
        case BatchTurn::wait_next_cycle: break;
    }
    return data::Turn::stop;
}

inline std::function<data::Turn()> transfer_turns(StepContext& ctx) {
    if (!ctx.between_batches) return {};
    return [&ctx] { return to_transfer_turn(ctx.between_batches()); };
}

// All of the cycle's turns for a transfer whose rows can check themselves
// (TransferRows::can_check): between batches, and around the work on a batch.
inline void use_turns(StepContext& ctx, data::TransferPlan& plan) {
    plan.between_batches = transfer_turns(ctx);
    if (!ctx.let_register_go || !ctx.take_register_back) return;
    plan.let_go = [&ctx] { return ctx.let_register_go(); };
    plan.take_back = [&ctx] { return to_transfer_turn(ctx.take_register_back()); };
}

}  // namespace cassasync::core
