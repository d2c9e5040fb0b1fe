// The conversions every register value passes through: field values to numbers and
// texts, day serials to dates and back, and the decimal rounding and display patterns of
// amounts. Whatever a register's column holds, a conversion gives a value or raises the
// database error the steps hold a row for; nothing else may escape, and what comes back
// must be sound.
#include <cmath>
#include <cstdint>
#include <string>

#include "data/database.h"
#include "data/value.h"
#include "fuzz_input.h"
#include "platform/clock.h"
#include "sales/rounding.h"

using namespace cassasync;

namespace {

void check_value(const data::Value& v) {
    (void)data::to_text(v);
    (void)data::describe(v);
    try {
        const std::int64_t i = data::to_int(v);
        if (std::holds_alternative<std::int64_t>(v) && i != std::get<std::int64_t>(v)) {
            fuzzing::fault("a whole number changed on its way to a whole number");
        }
    } catch (const data::DbError&) {
        if (std::holds_alternative<std::int64_t>(v)) fuzzing::fault("a whole number refused as a whole number");
    }
    try {
        const double d = data::to_double(v);
        if (std::holds_alternative<double>(v) && !std::isnan(d) && d != std::get<double>(v)) {
            fuzzing::fault("a real number changed on its way to a real number");
        }
    } catch (const data::DbError&) {
        if (std::holds_alternative<double>(v)) fuzzing::fault("a real number refused as a real number");
    }
    if (data::is_null(v) && data::to_int_or(v, 7) != 7) fuzzing::fault("a null did not take the fallback");
    // A null equals nothing, itself included, as in a query's condition; so does NaN.
    const bool nan = std::holds_alternative<double>(v) && std::isnan(std::get<double>(v));
    if (!nan && !data::is_null(v) && !data::values_equal(v, v)) fuzzing::fault("a value differs from itself");
}

void check_serial(double serial) {
    const platform::LocalTime t = platform::from_serial(serial);
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour < 0 || t.hour > 23 || t.minute < 0 ||
        t.minute > 59 || t.second < 0 || t.second > 59 || t.year < 100 || t.year > 9999) {
        fuzzing::fault("a serial became a time that does not exist");
    }
    const std::string shown = platform::short_date_of_serial(serial);
    if (shown.size() != 10 || shown[2] != '/' || shown[5] != '/') fuzzing::fault("a date not shown as DD/MM/YYYY");
    // A real day comes back as itself.
    if (serial >= 0 && serial < 2958465 && t.year != 1899) {
        const long day = platform::day_serial(t.year, t.month, t.day);
        if (std::fabs(static_cast<double>(day) - std::trunc(serial)) > 1.0) fuzzing::fault("a day did not come back");
    }
}

void check_rounding(double value, int decimals, const std::string& pattern) {
    const double even = sales::round_half_even(value, decimals);
    const double away = sales::round_half_away(value, decimals);
    if (std::isfinite(value) && std::fabs(value) < 1e12) {
        const double step = std::pow(10.0, -decimals);
        if (!(std::fabs(even - value) <= step) || !(std::fabs(away - value) <= step)) {
            fuzzing::fault("rounding moved a value by more than one step");
        }
    }
    (void)sales::format_number(value, pattern);
    (void)sales::pattern_value(value, pattern);
    (void)sales::widen_single(static_cast<float>(value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzing::FuzzInput in(data, size);
    while (!in.empty()) {
        switch (in.byte() % 3) {
        case 0: check_value(in.value()); break;
        case 1: {
            const auto v = in.value();
            double serial = 0;
            try {
                serial = data::to_double_or(v, 0.0);
            } catch (const data::DbError&) {
                break;
            }
            check_serial(serial);
            break;
        }
        default: {
            const double value = in.real();
            const int decimals = in.byte() % 7;
            check_rounding(value, decimals, in.text(24));
            break;
        }
        }
    }
    return 0;
}
