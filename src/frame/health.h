// The health of the service and of each register, as the last cycle left it: one model
// filled by the cycle on the worker thread and read by every view (window, console line,
// status page, metrics, service manager, alerts). The views never touch the cycle's
// state: they take a copy of the snapshot under the holder's mutex. Lives in the
// context, as long as the program.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/status_board.h"
#include "platform/clock.h"

namespace cassasync::frame {

// How the window and the console line put the most serious alert in force.
inline constexpr const char* kAlertMark = "ALLARME: ";

// The register's semaphore as last read: free, taken by the service, taken by the
// register's own software; unknown while the register was never reached.
enum class SemaphoreState { unknown, free, service, register_software };
const char* semaphore_state_name(SemaphoreState s);

// The one word a view colours a register by, most serious first: its steps failed, it
// does not answer, rows are held, its own software keeps the semaphore, all well, or not
// checked yet.
enum class RegisterState { failing, unreached, held, busy, ok, unknown };
const char* register_state_name(RegisterState s);

// Times are seconds of the context's clock read as local time (clock_seconds; 0: never),
// so tests that set the clock by hand see their own times and ages are plain differences.
struct HeldRowHealth {
    std::string step;
    std::int64_t key = 0;
    std::string cause;
    std::int64_t tries = 0;
};

struct RegisterHealth {
    int number = 0;
    bool reached = false;
    std::int64_t reached_since = 0;       // reached, or unreached, since this time
    std::int64_t last_reached = 0;
    std::int64_t last_complete_cycle = 0;  // the last cycle whose steps all completed here
    std::int64_t last_complete_at = 0;
    bool failed_last_cycle = false;
    std::optional<std::int64_t> lines_waiting;  // none: not counted (never reached)
    std::int64_t oldest_waiting_age_s = 0;      // age of the oldest waiting line
    std::int64_t held = 0;
    std::vector<HeldRowHealth> held_rows;
    SemaphoreState semaphore = SemaphoreState::unknown;
    std::int64_t semaphore_register_since = 0;  // held by the register's software since
    std::int64_t lines_today = 0;
    std::int64_t receipts_today = 0;
    double takings_today = 0;
    std::optional<std::int64_t> document_today;  // number of today's sales document
    bool document_today_registered = false;
    std::int64_t earlier_documents_waiting = 0;  // earlier days' documents not registered
    std::int64_t cards_waiting = 0;
    // The last closed day checked against the central rows: its day serial (0: none
    // since start) and the differences found (0: it agreed).
    long day_checked = 0;
    std::int64_t day_differences = 0;
    RegisterState state = RegisterState::unknown;
};

struct ServiceHealth {
    std::int64_t started = 0;
    std::int64_t last_cycle = 0;
    std::int64_t last_cycle_ms = 0;
    std::int64_t last_cycle_end = 0;
    std::int64_t cycles_failed = 0;
    bool last_cycle_failed = false;
    std::optional<std::uint64_t> disk_free_bytes;
    std::optional<std::uint64_t> disk_total_bytes;
    std::string log_file;
    std::string backup_failure;  // why the last backup failed, "" when it was made
    std::string summary;  // the console's line for the last cycle
    std::string alert;    // the most serious alert in force, "" when none
};

struct HealthSnapshot {
    ServiceHealth service;
    std::vector<RegisterHealth> registers;  // the served registers, by number
};

// The thread-safe holder. The cycle publishes a whole snapshot at once; a view reads a copy.
class Health {
public:
    void publish(HealthSnapshot s);
    HealthSnapshot snapshot() const;
    // Service-level facts that arrive outside a cycle (start-up, the worker, alerts).
    void set_started(std::int64_t unix_seconds, const std::string& log_file);
    void note_failed_cycle();
    void set_summary(const std::string& line);
    void set_alert(const std::string& text);
    std::string alert() const;  // the most serious alert in force, "" when none

private:
    mutable std::mutex mutex_;
    HealthSnapshot s_;
};

// The state a register is shown in, from its facts.
RegisterState state_of(const RegisterHealth& r);

// Seconds since 1 January 1970 of a clock reading, its fields taken as they are.
std::int64_t clock_seconds(const platform::LocalTime& t);
// "2026-12-09T11:37:05" for clock seconds; "" for 0.
std::string clock_text(std::int64_t seconds);

}  // namespace cassasync::frame
