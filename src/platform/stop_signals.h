// The stop signals of the programs (SIGINT, SIGTERM), taken as ordinary events instead
// of in a handler: the constructor blocks them in the calling thread and in every thread
// it starts afterwards, so create it in main before any other thread; wait() takes them.
// One per program, living until it ends.
#pragma once

#include <chrono>

#include <signal.h>

namespace cassasync::platform {

class StopSignals {
public:
    StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Waits up to `timeout`; true once a stop signal has arrived (now or before).
    bool wait(std::chrono::milliseconds timeout);
    bool stopped() const { return stopped_; }

private:
    sigset_t set_{};
    bool stopped_ = false;
};

}  // namespace cassasync::platform
