// Fills the health model from inside the processing cycle: the cycle calls it at the
// moments it already has (a register checked, a register's steps run or failed, the
// cycle's end), and the recorder reads the few extra facts cheaply: a count of the lines
// waiting at a register that answered (over the register's own waiting-lines index), the
// semaphore, and at the cycle's end today's figures, held rows and waiting cards from the
// central files. Owned by the cycle, lives as long as it; publishes to the context's
// Health once per cycle. A fact that cannot be read is left out, never an error.
#pragma once

#include <array>
#include <chrono>

#include "frame/context.h"
#include "frame/health.h"

namespace cassasync::frame {

class HealthRecorder {
public:
    explicit HealthRecorder(Context& ctx) : ctx_(ctx) {}

    void cycle_started();
    // The status pass checked register n; when it answered and its steps meet no error,
    // its waiting lines and its semaphore are read at the cycle's end.
    void checked(int n, bool answered);
    void steps_ran(int n);    // a register's steps under its semaphore ended normally
    void step_failed(int n);  // a register's step ended on an error
    void cycle_error();       // an error outside any register (customer pass, backup): a failed cycle
    // Gathers the central facts and publishes the snapshot. `database_named` false: the
    // cycle did nothing; start-up and the cycle's own line already say why.
    void cycle_finished(bool database_named);

private:
    void read_register(RegisterHealth& r);
    void read_central(RegisterHealth& r, long today);
    void read_disk(ServiceHealth& s) const;

    Context& ctx_;
    std::array<RegisterHealth, core::kMaxRegisters + 1> regs_{};  // index 0 unused
    std::array<bool, core::kMaxRegisters + 1> ran_{};
    std::array<bool, core::kMaxRegisters + 1> failed_{};
    std::int64_t cycle_ = 0;
    bool errors_ = false;
    std::chrono::steady_clock::time_point started_{};
};

}  // namespace cassasync::frame
