// The wall clock, behind an interface so that tests can set the day and advance time
// by hand. Texts follow the shop's regional form: short date dd/mm/yyyy, long time
// hh:mm:ss. Day serials count days since 30 December 1899, the fraction being the
// time of day (the representation the shop's databases use for dates).
#pragma once

#include <chrono>
#include <string>

namespace cassasync::platform {

struct LocalTime {
    int year = 1899, month = 12, day = 30;
    int hour = 0, minute = 0, second = 0;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual LocalTime now() const = 0;
};

class SystemClock : public Clock {
public:
    LocalTime now() const override;
};

// A clock that stands still until a test moves it.
class FixedClock : public Clock {
public:
    explicit FixedClock(LocalTime t) : t_(t) {}
    LocalTime now() const override { return t_; }
    void set(LocalTime t) { t_ = t; }
    void advance_seconds(long seconds);

private:
    LocalTime t_;
};

std::string short_date(const LocalTime& t);   // "07/12/2026"
std::string long_time(const LocalTime& t);    // "11:37:05"
long day_serial(int year, int month, int day);  // 46363 for 7 December 2026
double date_time_serial(const LocalTime& t);    // day serial + fraction of the day
LocalTime from_serial(double serial);           // inverse, to the second
std::string short_date_of_serial(double serial); // "07/12/2026"

}  // namespace cassasync::platform
