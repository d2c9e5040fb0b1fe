// The processing cycle: the tick rule of the processing timer and Elabora_Casse, one
// full pass over the registers (status pass, transfer pass under the semaphores, card
// pass, end-of-cycle customer pass). Runs on the worker thread only. A database error
// inside a register's steps is one log line; the register's semaphore is released and
// the cycle goes on with the next register.
#pragma once

#include <chrono>
#include <functional>

#include "frame/context.h"

namespace cassasync::frame {

class ProcessingCycle {
public:
    explicit ProcessingCycle(Context& ctx) : ctx_(ctx) {}

    // One tick of the processing timer; true when a cycle ran.
    bool tick();
    void Elabora_Casse();

private:
    Context& ctx_;
};

// The worker: ticks every `tick` until a stop is requested or `cycles` cycles have run
// (cycles < 0: no limit). A stop lets the register step under way finish.
struct WorkerOptions {
    std::chrono::milliseconds tick{5000};
    int cycles = -1;
    // Called after every cycle with the cycle's summary line (console status).
    std::function<void(const std::string&)> on_cycle;
};
void run_worker(Context& ctx, const WorkerOptions& options);

}  // namespace cassasync::frame
