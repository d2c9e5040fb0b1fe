#include "platform/clock.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cassasync::platform {
namespace {

std::string text_of(const LocalTime& t) { return short_date(t) + " " + long_time(t); }

TEST(ClockTextTest, ShortDateAndLongTimeArePadded) {
    const LocalTime t{2026, 12, 7, 11, 37, 5};
    EXPECT_EQ(short_date(t), "07/12/2026");
    EXPECT_EQ(long_time(t), "11:37:05");
    EXPECT_EQ(text_of(LocalTime{987, 1, 2, 0, 0, 0}), "02/01/0987 00:00:00");
    EXPECT_EQ(text_of(LocalTime{2027, 10, 31, 23, 59, 59}), "31/10/2027 23:59:59");
    // Out of the usual range the texts are what a "%02d" and "%04d" format gives.
    for (int v : {-100, -10, -1, 0, 9, 10, 99, 100, 999, 1000, 9999, 10000, 123456}) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "%02d/%02d/%04d %02d:%02d:%02d", v, v, v, v, v, v);
        EXPECT_EQ(text_of(LocalTime{v, v, v, v, v, v}), expected) << v;
    }
}

TEST(DaySerialTest, KnownDates) {
    struct Case {
        int year, month, day;
        long serial;
    };
    // Reference values counted independently (days since 30 December 1899).
    const std::vector<Case> cases = {
        {1899, 12, 30, 0},      {1899, 12, 31, 1},      {1900, 1, 1, 2},
        {1900, 2, 28, 60},      {1900, 3, 1, 61},       {1999, 12, 31, 36525},
        {2000, 1, 1, 36526},    {2000, 2, 29, 36585},   {2000, 3, 1, 36586},
        {2024, 2, 29, 45351},   {2026, 12, 7, 46363},   {2027, 1, 1, 46388},
        {1899, 12, 1, -29},     {1800, 1, 1, -36522},   {9999, 12, 31, 2958465},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(day_serial(c.year, c.month, c.day), c.serial)
            << "date " << c.day << "/" << c.month << "/" << c.year;
        EXPECT_EQ(short_date_of_serial(static_cast<double>(c.serial)),
                  short_date(LocalTime{c.year, c.month, c.day, 0, 0, 0}))
            << "serial " << c.serial;
    }
}

TEST(DaySerialTest, OutOfRangeDaysAndMonthsRollOver) {
    EXPECT_EQ(day_serial(2026, 12, 32), day_serial(2027, 1, 1));
    EXPECT_EQ(day_serial(2026, 13, 1), day_serial(2027, 1, 1));
    EXPECT_EQ(day_serial(2027, 0, 31), day_serial(2026, 12, 31));
    EXPECT_EQ(day_serial(2027, 1, 0), day_serial(2026, 12, 31));
    EXPECT_EQ(day_serial(2027, -12, 1), day_serial(2025, 12, 1));
    EXPECT_EQ(day_serial(2024, 3, 0), day_serial(2024, 2, 29));
}

TEST(DateTimeSerialTest, FractionIsTheTimeOfDay) {
    EXPECT_DOUBLE_EQ(date_time_serial(LocalTime{2026, 12, 7, 0, 0, 0}), 46363.0);
    EXPECT_DOUBLE_EQ(date_time_serial(LocalTime{2026, 12, 7, 12, 0, 0}), 46363.5);
    EXPECT_DOUBLE_EQ(date_time_serial(LocalTime{2026, 12, 7, 6, 0, 0}), 46363.25);
    EXPECT_DOUBLE_EQ(date_time_serial(LocalTime{2026, 12, 7, 23, 59, 59}), 46363.0 + 86399.0 / 86400.0);
    EXPECT_DOUBLE_EQ(date_time_serial(LocalTime{1899, 12, 30, 18, 0, 0}), 0.75);
}

TEST(DateTimeSerialTest, RoundTripsToTheSecond) {
    const std::vector<LocalTime> starts = {
        {1899, 12, 30, 0, 0, 0}, {1900, 2, 28, 23, 0, 0}, {2000, 2, 28, 22, 30, 0},
        {2026, 12, 7, 11, 37, 5}, {2026, 12, 31, 23, 0, 0}, {2099, 6, 15, 12, 0, 0},
    };
    for (const LocalTime& start : starts) {
        FixedClock clock(start);
        // Every 7 seconds over a little more than two days, so that both midnights and
        // every second value of a minute are passed.
        for (int step = 0; step < 26000; ++step) {
            const LocalTime t = clock.now();
            const LocalTime back = from_serial(date_time_serial(t));
            ASSERT_EQ(text_of(back), text_of(t)) << "from " << text_of(start) << ", step " << step;
            clock.advance_seconds(7);
        }
    }
}

TEST(DateTimeSerialTest, FromSerialRoundsToTheNearestSecond) {
    EXPECT_EQ(text_of(from_serial(46363.0 + 86399.6 / 86400.0)), "08/12/2026 00:00:00");
    EXPECT_EQ(text_of(from_serial(46363.0 + 3600.4 / 86400.0)), "07/12/2026 01:00:00");
    EXPECT_EQ(text_of(from_serial(46363.0 + 3600.6 / 86400.0)), "07/12/2026 01:00:01");
    EXPECT_EQ(short_date_of_serial(46363.99), "07/12/2026");
}

TEST(DateTimeSerialTest, SerialsBeforeTheEpochReadTheFractionAsTimeOfDay) {
    EXPECT_EQ(text_of(from_serial(-1.25)), "29/12/1899 06:00:00");
    EXPECT_EQ(text_of(from_serial(-0.5)), "30/12/1899 12:00:00");
    EXPECT_EQ(text_of(from_serial(-29.0)), "01/12/1899 00:00:00");
}

TEST(DateTimeSerialTest, SerialsOutsideTheCalendarReadAsTheEpoch) {
    // A serial with no date at all reads as the epoch; a register's date field can
    // hold any number, and every one out of the years 100 to 9999 reads the same.
    const LocalTime none = from_serial(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(text_of(none), "30/12/1899 00:00:00");
    const double outside[] = {
        2e14, -2e14, 1e300, -1e300, -1e20, 1e20, std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::max(),
        std::numeric_limits<double>::lowest(), 9.3e18, -9.3e18,
        2958466.0,                              // 01/01/10000
        2958465.0 + 86399.9 / 86400.0,          // rounds to 01/01/10000 00:00:00
        -657435.0,                              // 31/12/0099
        -657435.0 - 0.5,
    };
    for (double serial : outside) {
        EXPECT_EQ(text_of(from_serial(serial)), text_of(none)) << serial;
        EXPECT_EQ(short_date_of_serial(serial), "30/12/1899") << serial;
    }

    // The first and last seconds of the calendar still convert.
    const std::pair<double, const char*> inside[] = {
        {2958465.0, "31/12/9999 00:00:00"},
        {2958465.0 + 86399.0 / 86400.0, "31/12/9999 23:59:59"},
        {2958465.0 + 86399.4 / 86400.0, "31/12/9999 23:59:59"},
        {-657434.0, "01/01/0100 00:00:00"},
        {-657434.0 - 86399.0 / 86400.0, "01/01/0100 23:59:59"},
        {-657433.0, "02/01/0100 00:00:00"},
    };
    for (const auto& [serial, text] : inside) {
        EXPECT_EQ(text_of(from_serial(serial)), text) << std::to_string(serial);
    }
    EXPECT_EQ(short_date_of_serial(static_cast<double>(day_serial(9999, 12, 31))), "31/12/9999");
    EXPECT_EQ(short_date_of_serial(static_cast<double>(day_serial(100, 1, 1))), "01/01/0100");
}

TEST(FixedClockTest, AdvancesAcrossMinutesDaysMonthsAndYears) {
    FixedClock clock(LocalTime{2026, 12, 31, 23, 59, 30});
    clock.advance_seconds(45);
    EXPECT_EQ(text_of(clock.now()), "01/01/2027 00:00:15");

    clock.set(LocalTime{2024, 2, 28, 23, 59, 59});
    clock.advance_seconds(1);
    EXPECT_EQ(text_of(clock.now()), "29/02/2024 00:00:00");
    clock.advance_seconds(86400);
    EXPECT_EQ(text_of(clock.now()), "01/03/2024 00:00:00");

    clock.set(LocalTime{2025, 3, 1, 0, 0, 0});
    clock.advance_seconds(-1);
    EXPECT_EQ(text_of(clock.now()), "28/02/2025 23:59:59");

    clock.set(LocalTime{2026, 12, 7, 11, 37, 5});
    clock.advance_seconds(365L * 86400 + 3600);
    EXPECT_EQ(text_of(clock.now()), "07/12/2027 12:37:05");
    clock.advance_seconds(0);
    EXPECT_EQ(text_of(clock.now()), "07/12/2027 12:37:05");
}

// Sets TZ for the life of the object and puts the previous value back.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = ::getenv("TZ")) previous_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (previous_) {
            ::setenv("TZ", previous_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

private:
    std::optional<std::string> previous_;
};

double utc_serial_now() {
    using namespace std::chrono;
    const auto seconds_now = floor<seconds>(system_clock::now());
    const auto today = floor<days>(seconds_now);
    const year_month_day ymd{today};
    const double in_day = static_cast<double>((seconds_now - today).count());
    return static_cast<double>(day_serial(static_cast<int>(ymd.year()),
                                          static_cast<int>(static_cast<unsigned>(ymd.month())),
                                          static_cast<int>(static_cast<unsigned>(ymd.day())))) +
           in_day / 86400.0;
}

TEST(SystemClockTest, ReadsLocalTimeOfTheConfiguredZone) {
    SystemClock clock;
    const double tolerance = 5.0 / 86400.0;
    {
        ScopedTimeZone zone("UTC0");
        EXPECT_NEAR(date_time_serial(clock.now()), utc_serial_now(), tolerance);
    }
    {
        // POSIX notation: a zone three hours ahead of UTC, no daylight saving.
        ScopedTimeZone zone("XYZ-3");
        EXPECT_NEAR(date_time_serial(clock.now()), utc_serial_now() + 3.0 / 24.0, tolerance);
    }
    const LocalTime t = clock.now();
    EXPECT_GE(t.year, 2024);
    EXPECT_TRUE(t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31) << text_of(t);
    EXPECT_TRUE(t.hour < 24 && t.minute < 60 && t.second < 60) << text_of(t);
}

}  // namespace
}  // namespace cassasync::platform
