#include "sales/line_checks.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "platform/clock.h"

namespace cassasync::sales {

namespace {

constexpr const char* kNotANumber = " non e' un numero: ";
constexpr const char* kNotFinite = " non e' un numero finito: ";
constexpr const char* kTooLarge = " fuori dal campo: ";
constexpr const char* kNotADay = " fuori dalle date ammesse (01/01/1990 - 31/12/2100): ";
constexpr const char* kNotATime = " non e' un'ora del giorno: ";

// Amounts and quantities are kept with four decimals; beyond this size a double no
// longer holds them to the fourth decimal.
constexpr double kLargestAmount = 1e11;
constexpr double kLargestWhole = std::numeric_limits<std::int32_t>::max();

enum class Kind { amount, whole, day, time };

struct Field {
    const char* name;
    Kind kind;
};

constexpr Field kFields[] = {
    {"bdator", Kind::day},       {"bora", Kind::time},         {"bnumer", Kind::whole},
    {"quantita", Kind::amount},  {"prezzo", Kind::amount},     {"totrig", Kind::amount},
    {"sconto", Kind::amount},    {"codrep", Kind::whole},      {"tiporecord", Kind::whole},
    {"operatore", Kind::whole},  {"numcassa", Kind::whole},
};

// A value as the log shows it: a long text is cut, the cause must stay one line.
std::string shown(const data::Value& v) {
    constexpr std::size_t kShown = 40;
    std::string s = data::describe(v);
    if (s.size() > kShown) s = s.substr(0, kShown) + "...";
    for (auto& c : s) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return s;
}

std::optional<std::string> refusal(const Field& f, const data::Value& v) {
    if (data::is_null(v)) return std::nullopt;
    double d = 0;
    try {
        d = data::to_double(v);
    } catch (const data::DbError&) {
        return std::string(f.name) + kNotANumber + shown(v);
    }
    if (!std::isfinite(d)) return std::string(f.name) + kNotFinite + shown(v);
    switch (f.kind) {
        case Kind::amount:
            if (std::fabs(d) > kLargestAmount) return std::string(f.name) + kTooLarge + shown(v);
            break;
        case Kind::whole:
            if (std::fabs(d) > kLargestWhole) return std::string(f.name) + kTooLarge + shown(v);
            break;
        case Kind::day:
            if (d != 0 && (d < static_cast<double>(first_receipt_day()) || d >= static_cast<double>(last_receipt_day() + 1))) {
                return std::string(f.name) + kNotADay + shown(v);
            }
            break;
        case Kind::time:
            // A time of day, or a register's date and time together.
            if (d < 0 || d >= static_cast<double>(last_receipt_day() + 1)) return std::string(f.name) + kNotATime + shown(v);
            break;
    }
    return std::nullopt;
}

}  // namespace

long first_receipt_day() { return platform::day_serial(1990, 1, 1); }
long last_receipt_day() { return platform::day_serial(2100, 12, 31); }

std::optional<std::string> refusal_of(const data::RecordSet& rs) {
    for (const auto& f : kFields) {
        if (auto why = refusal(f, rs.field(f.name))) return why;
    }
    return std::nullopt;
}

}  // namespace cassasync::sales
