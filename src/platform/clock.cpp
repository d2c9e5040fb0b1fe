#include "platform/clock.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>

namespace cassasync::platform {
namespace {

using std::chrono::days;
using std::chrono::seconds;
using std::chrono::sys_days;
using std::chrono::sys_seconds;

constexpr long kSecondsPerDay = 86400;
// The calendar of the shop's databases: 1 January 100 to 31 December 9999.
constexpr long kFirstSerial = -657434;
constexpr long kLastSerial = 2958465;

sys_days serial_epoch() { return sys_days{std::chrono::year{1899} / std::chrono::December / 30}; }

// Out-of-range months and days roll over into the next ones, as date arithmetic
// on the shop's databases does.
sys_days to_days(int year, int month, int day) {
    const int month_index = month - 1;
    const int year_shift = month_index >= 0 ? month_index / 12 : -((11 - month_index) / 12);
    const int normal_month = month_index - year_shift * 12 + 1;
    const std::chrono::year_month_day first{std::chrono::year{year + year_shift},
                                            std::chrono::month{static_cast<unsigned>(normal_month)},
                                            std::chrono::day{1}};
    return sys_days{first} + days{day - 1};
}

LocalTime to_local_time(sys_seconds moment) {
    const sys_days day = std::chrono::floor<days>(moment);
    const std::chrono::year_month_day ymd{day};
    const long in_day = static_cast<long>((moment - day).count());
    LocalTime t;
    t.year = static_cast<int>(ymd.year());
    t.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
    t.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
    t.hour = static_cast<int>(in_day / 3600);
    t.minute = static_cast<int>(in_day / 60 % 60);
    t.second = static_cast<int>(in_day % 60);
    return t;
}

sys_seconds to_moment(const LocalTime& t) {
    return sys_seconds{to_days(t.year, t.month, t.day)} +
           seconds{static_cast<long>(t.hour) * 3600 + static_cast<long>(t.minute) * 60 + t.second};
}

}  // namespace

LocalTime SystemClock::now() const {
    const std::time_t seconds_now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&seconds_now, &parts);
    LocalTime t;
    t.year = parts.tm_year + 1900;
    t.month = parts.tm_mon + 1;
    t.day = parts.tm_mday;
    t.hour = parts.tm_hour;
    t.minute = parts.tm_min;
    // A leap second is shown as the last ordinary second of its minute.
    t.second = parts.tm_sec > 59 ? 59 : parts.tm_sec;
    return t;
}

void FixedClock::advance_seconds(long seconds_to_add) {
    t_ = to_local_time(to_moment(t_) + seconds{seconds_to_add});
}

namespace {
// `value` as "%0*d" would write it; written digit by digit in the usual range, since
// every log line carries a date and a time.
void append_padded(std::string& out, int value, int width) {
    constexpr int kMostDigits = 4;  // a year
    int limit = 1;
    for (int i = 0; i < std::min(width, kMostDigits); ++i) limit *= 10;
    if (width < 1 || width > kMostDigits || value < 0 || value >= limit) {
        char text[16];
        std::snprintf(text, sizeof text, "%0*d", width, value);
        out += text;
        return;
    }
    char digits[kMostDigits];
    for (int i = width - 1; i >= 0; --i) {
        digits[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out.append(digits, static_cast<std::size_t>(width));
}

// Two two-digit numbers and a third of `last_width` digits, `separator` between them.
std::string padded_triple(int first, int second, int last, char separator, int last_width) {
    std::string text;
    text.reserve(static_cast<std::size_t>(6 + last_width));
    append_padded(text, first, 2);
    text += separator;
    append_padded(text, second, 2);
    text += separator;
    append_padded(text, last, last_width);
    return text;
}
}  // namespace

std::string short_date(const LocalTime& t) { return padded_triple(t.day, t.month, t.year, '/', 4); }

std::string long_time(const LocalTime& t) { return padded_triple(t.hour, t.minute, t.second, ':', 2); }

long day_serial(int year, int month, int day) {
    return static_cast<long>((to_days(year, month, day) - serial_epoch()).count());
}

double date_time_serial(const LocalTime& t) {
    const long in_day = static_cast<long>(t.hour) * 3600 + static_cast<long>(t.minute) * 60 + t.second;
    return static_cast<double>(day_serial(t.year, t.month, t.day)) +
           static_cast<double>(in_day) / kSecondsPerDay;
}

LocalTime from_serial(double serial) {
    // A register's date field can hold any number. Out of the calendar (NaN and the
    // infinities included) a serial reads as the epoch, as no date at all does, before
    // a conversion could overflow.
    if (!(serial > kFirstSerial - 1 && serial < kLastSerial + 1)) return LocalTime{};
    // Serials before the epoch keep the whole day towards zero and read the fraction
    // as a positive time of day: -1.25 is 29 December 1899 at 06:00.
    const double whole = std::trunc(serial);
    const long long in_day = std::llround(std::fabs(serial - whole) * kSecondsPerDay);
    const sys_seconds moment =
        sys_seconds{serial_epoch() + days{static_cast<long long>(whole)}} + seconds{in_day};
    // The last second of 9999 rounded up is a day past the calendar.
    if (moment >= sys_seconds{serial_epoch() + days{kLastSerial + 1}}) return LocalTime{};
    return to_local_time(moment);
}

std::string short_date_of_serial(double serial) { return short_date(from_serial(serial)); }

}  // namespace cassasync::platform
