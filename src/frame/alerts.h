// Alerts: the conditions of the health model a person must act on (a register not
// reached, a semaphore kept by the register's own software, held rows, an earlier day
// not registered, a closed day that does not agree, the disk nearly full, cycles
// failing, the last backup failed). Each condition, when it starts
// and when it clears, writes one log line, one journal message (error or warning) and
// runs the shop's alert command, if any, detached with the alert in its arguments and
// environment; a condition still in force is told again at most once an hour. Evaluated
// after each cycle on the worker thread; the most serious alert in force goes to the
// health model for the views. Owned by the program's main.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "frame/context.h"
#include "frame/health.h"
#include "platform/journal.h"

namespace cassasync::frame {

struct AlertOptions {
    int unreached_minutes = 15;
    int semaphore_minutes = 10;
    // A shell command line; the alert follows as $1 (started, repeated, cleared), $2
    // (error, warning), $3 (the condition's key) and $4 (its text), and in CASSASYNC_ALERT_*.
    std::string command;
    std::int64_t repeat_seconds = 3600;
    std::uint64_t min_free_bytes = 500ull * 1024 * 1024;
    double min_free_share = 0.05;
};

enum class AlertLevel { error, warning };

struct Alert {
    std::string key;   // "unreached:3", "disk", ...
    AlertLevel level = AlertLevel::warning;
    std::string text;  // one line, in the log's language
};

// The conditions in force in a snapshot, most serious first; `now` in clock seconds.
std::vector<Alert> alerts_in_force(const HealthSnapshot& s, std::int64_t now, const AlertOptions& options);

class Alerts {
public:
    using JournalSink = std::function<void(platform::JournalPriority, const std::string&,
                                           const std::map<std::string, std::string>&)>;
    Alerts(Context& ctx, AlertOptions options, JournalSink journal = platform::journal_send)
        : ctx_(ctx), options_(std::move(options)), journal_(std::move(journal)) {}

    // Compares the snapshot with the alerts told so far and tells what started, cleared
    // or is due again.
    void evaluate(const HealthSnapshot& s);

private:
    struct Told {
        Alert alert;
        std::int64_t at = 0;
    };
    void tell(const Alert& a, const char* state);

    Context& ctx_;
    AlertOptions options_;
    JournalSink journal_;
    std::map<std::string, Told> told_;
};

}  // namespace cassasync::frame
