// The processing cycle: the tick rule of the processing timer and Elabora_Casse, one
// full pass over the registers (status pass, transfer pass under the semaphores, card
// pass, end-of-cycle customer pass). Runs on the worker thread only. A database error
// inside a register's steps is one log line; the register's semaphore is released and
// the cycle goes on with the next register.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <utility>

#include "frame/context.h"
#include "frame/register_steps.h"
#include "frame/health_recorder.h"
#include "registers/semaphores.h"

namespace cassasync::frame {

// What the status pass of the last cycle found.
struct CycleReport {
    int served = 0;     // registers checked
    int reachable = 0;  // of which answered
    bool database_named = true;  // false: Percorso_Dati empty, nothing was done
    // The longest stretch the service kept one register's semaphore in one go.
    std::chrono::steady_clock::duration longest_hold{};
};

class ProcessingCycle {
public:
    explicit ProcessingCycle(Context& ctx, CycleSteps steps = CycleSteps::standard(),
                             registers::TurnLimits turn_limits = {})
        : ctx_(ctx), steps_(std::move(steps)), turn_limits_(turn_limits) {}

    // One tick of the processing timer; true when a cycle ran.
    bool tick();
    void Elabora_Casse();
    const CycleReport& last_report() const { return report_; }

private:
    bool stopping() const;
    void status_pass();
    void transfer_pass();
    void card_pass();
    // Runs `body` for register n under the semaphore: take, body, release. A database
    // error is logged on one line and the register's connections are dropped so that
    // the next cycle reopens them; the semaphore is released in every case.
    void under_semaphore(int n, bool test_first, const std::function<void()>& body);
    // One line naming where the failure happened: "<where>: <cause>".
    void log_error(const std::string& where, const std::exception& e);
    void log_error(const std::string& where, const std::string& cause);
    // A register whose file another program keeps locked: one line naming the register
    // and its file, and the register is left alone for the rest of the cycle. False for
    // any other error.
    bool note_locked(int n, const std::exception& e);

    Context& ctx_;
    CycleSteps steps_;
    registers::TurnLimits turn_limits_;
    CycleReport report_;
    HealthRecorder health_{ctx_};
    // Registers found locked by another program in this cycle.
    std::array<bool, core::kMaxRegisters + 1> locked_{};
};

// The worker: ticks every `tick` until a stop is requested or `cycles` cycles have run
// (cycles < 0: no limit; 0: returns at once). A stop lets the register step under way
// finish. The next interval starts when a cycle ends, so cycles never overlap.
struct WorkerOptions {
    std::chrono::milliseconds tick{5000};
    int cycles = -1;
    // Called after every cycle with the cycle's summary line (console status).
    std::function<void(const std::string&)> on_cycle;
    // Called after every completed cycle whatever the view (service manager, alerts).
    std::function<void(const std::string&)> after_cycle;
    CycleSteps steps = CycleSteps::standard();
};
void run_worker(Context& ctx, const WorkerOptions& options);

// The one-line summary of a cycle: "ciclo 3: casse collegate 2/3, durata 120 ms".
std::string cycle_summary(int number, const CycleReport& report, std::chrono::milliseconds duration, int held = 0);

}  // namespace cassasync::frame
