#include "platform/service_notify.h"

#include <systemd/sd-daemon.h>

namespace cassasync::platform {

namespace {
// A status line is one line: the manager shows it as it is.
std::string one_line(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return out;
}
}  // namespace

// sd_notify does nothing and returns 0 without NOTIFY_SOCKET; its errors change nothing
// for the service, so they are not reported.
void SystemdNotifier::ready() { sd_notify(0, "READY=1"); }
void SystemdNotifier::status(const std::string& line) { sd_notify(0, ("STATUS=" + one_line(line)).c_str()); }
void SystemdNotifier::watchdog() { sd_notify(0, "WATCHDOG=1"); }
void SystemdNotifier::stopping() { sd_notify(0, "STOPPING=1"); }

std::optional<std::chrono::microseconds> SystemdNotifier::watchdog_interval() const {
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0) return std::nullopt;
    return std::chrono::microseconds(usec);
}

}  // namespace cassasync::platform
