#include "data/value_checks.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "base/text.h"
#include "platform/clock.h"

namespace cassasync::data {

namespace {

constexpr const char* kNotANumber = " non e' un numero: ";
constexpr const char* kNotFinite = " non e' un numero finito: ";
constexpr const char* kTooLarge = " fuori dal campo: ";
constexpr const char* kEmpty = " vuoto";
constexpr const char* kNotADay = " fuori dalle date ammesse (01/01/1990 - 31/12/2100): ";
constexpr const char* kNotATime = " non e' un'ora del giorno: ";

// Amounts and quantities are kept with four decimals; beyond this size a double no
// longer holds them to the fourth decimal.
constexpr double kLargestAmount = 1e11;
constexpr double kLargestWhole = std::numeric_limits<std::int32_t>::max();
constexpr double kLargestWhole16 = std::numeric_limits<std::int16_t>::max();

}  // namespace

long first_accepted_day() { return platform::day_serial(1990, 1, 1); }
long last_accepted_day() { return platform::day_serial(2100, 12, 31); }

std::string shown(const Value& v) {
    constexpr std::size_t kShown = 40;
    std::string s = describe(v);
    if (s.size() > kShown) s = s.substr(0, kShown) + "...";
    for (auto& c : s) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return s;
}

std::optional<std::string> refusal(const FieldCheck& f, const Value& v) {
    if (f.kind == FieldKind::code && (is_null(v) || (std::holds_alternative<std::string>(v) &&
                                                     base::trim_blanks(std::get<std::string>(v)).empty()))) {
        return std::string(f.name) + kEmpty;
    }
    if (is_null(v)) return std::nullopt;
    double d = 0;
    try {
        d = to_double(v);
    } catch (const DbError&) {
        return std::string(f.name) + kNotANumber + shown(v);
    }
    if (!std::isfinite(d)) return std::string(f.name) + kNotFinite + shown(v);
    const double last_day_end = static_cast<double>(last_accepted_day() + 1);
    switch (f.kind) {
        case FieldKind::amount:
            if (std::fabs(d) > kLargestAmount) return std::string(f.name) + kTooLarge + shown(v);
            break;
        case FieldKind::code:
        case FieldKind::whole:
            if (std::fabs(d) > kLargestWhole) return std::string(f.name) + kTooLarge + shown(v);
            break;
        case FieldKind::whole16:
            if (std::fabs(d) > kLargestWhole16) return std::string(f.name) + kTooLarge + shown(v);
            break;
        case FieldKind::day:
            if (d != 0 && (d < static_cast<double>(first_accepted_day()) || d >= last_day_end)) {
                return std::string(f.name) + kNotADay + shown(v);
            }
            break;
        case FieldKind::time:
            // A time of day, or a register's date and time together.
            if (d < 0 || d >= last_day_end) return std::string(f.name) + kNotATime + shown(v);
            break;
    }
    return std::nullopt;
}

std::optional<std::string> refusal_of(const RecordSet& row, std::span<const FieldCheck> fields) {
    for (const auto& f : fields) {
        if (auto why = refusal(f, row.field(f.name))) return why;
    }
    return std::nullopt;
}

}  // namespace cassasync::data
