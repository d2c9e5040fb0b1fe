#include "frame/health.h"

#include <cstdio>

namespace cassasync::frame {

const char* semaphore_state_name(SemaphoreState s) {
    switch (s) {
        case SemaphoreState::free: return "free";
        case SemaphoreState::service: return "service";
        case SemaphoreState::register_software: return "register";
        case SemaphoreState::unknown: break;
    }
    return "unknown";
}

const char* register_state_name(RegisterState s) {
    switch (s) {
        case RegisterState::failing: return "failing";
        case RegisterState::unreached: return "unreached";
        case RegisterState::held: return "held";
        case RegisterState::busy: return "busy";
        case RegisterState::ok: return "ok";
        case RegisterState::unknown: break;
    }
    return "unknown";
}

RegisterState state_of(const RegisterHealth& r) {
    if (r.reached_since == 0) return RegisterState::unknown;
    if (!r.reached) return RegisterState::unreached;
    if (r.failed_last_cycle) return RegisterState::failing;
    if (r.held > 0) return RegisterState::held;
    if (r.semaphore == SemaphoreState::register_software) return RegisterState::busy;
    return RegisterState::ok;
}

void Health::publish(HealthSnapshot s) {
    std::lock_guard lock(mutex_);
    // Facts the cycle does not own survive its publication.
    s.service.started = s_.service.started;
    s.service.log_file = s_.service.log_file;
    s.service.cycles_failed = s_.service.cycles_failed + (s.service.last_cycle_failed ? 1 : 0);
    s.service.summary = s_.service.summary;
    s.service.alert = s_.service.alert;
    s_ = std::move(s);
}

HealthSnapshot Health::snapshot() const {
    std::lock_guard lock(mutex_);
    return s_;
}

void Health::set_started(std::int64_t seconds, const std::string& log_file) {
    std::lock_guard lock(mutex_);
    s_.service.started = seconds;
    s_.service.log_file = log_file;
}

void Health::note_failed_cycle() {
    std::lock_guard lock(mutex_);
    ++s_.service.cycles_failed;
    s_.service.last_cycle_failed = true;
}

void Health::set_summary(const std::string& line) {
    std::lock_guard lock(mutex_);
    s_.service.summary = line;
}

void Health::set_alert(const std::string& text) {
    std::lock_guard lock(mutex_);
    s_.service.alert = text;
}

std::string Health::alert() const {
    std::lock_guard lock(mutex_);
    return s_.service.alert;
}

namespace {
// Days from 1 January 1970 to a civil date (proleptic Gregorian).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}
}  // namespace

std::int64_t clock_seconds(const platform::LocalTime& t) {
    return days_from_civil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) * 86400 +
           t.hour * 3600 + t.minute * 60 + t.second;
}

std::string clock_text(std::int64_t seconds) {
    if (seconds == 0) return "";
    // Inverse of days_from_civil.
    std::int64_t z = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    const std::int64_t secs = seconds - z * 86400;
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02lld:%02lld:%02lld", static_cast<long long>(y), m, d,
                  static_cast<long long>(secs / 3600), static_cast<long long>(secs / 60 % 60),
                  static_cast<long long>(secs % 60));
    return buf;
}

}  // namespace cassasync::frame
