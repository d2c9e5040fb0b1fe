// Decimal rounding and display patterns: halves to even, halves away from zero, and
// values whose binary form lies just below or above the half they show.
#include <gtest/gtest.h>

#include "base/text.h"
#include "sales/rounding.h"

namespace cassasync::sales {
namespace {

using base::fixed_width;
using base::left_chars;
using base::mid_chars;
using base::trim_blanks;

struct Case {
    double value;
    int decimals;
    double expected;
};

TEST(Rounding, HalvesToEvenAndAwayFromZeroOnTheDecimalsShown) {
    const Case to_even[] = {
        {0.125, 2, 0.12},  {0.135, 2, 0.14},   {2.5, 0, 2},        {3.5, 0, 4},       {-2.5, 0, -2},
        {1.2345, 3, 1.234}, {1.2355, 3, 1.236}, {12.35 / 10, 3, 1.235}, {4.49 / 2.99, 2, 1.5},
        {1.00049, 3, 1.0}, {0.0005, 3, 0.0},   {0.0015, 3, 0.002}, {123456.785, 2, 123456.78},
        {-0.125, 2, -0.12}, {7.0, 2, 7.0},     {0.0, 3, 0.0},     {0.004, 2, 0.0},
    };
    for (const auto& c : to_even) {
        EXPECT_DOUBLE_EQ(round_half_even(c.value, c.decimals), c.expected)
            << "half to even: " << c.value << " to " << c.decimals;
    }
    const Case away[] = {
        {1.2345, 3, 1.235}, {0.125, 2, 0.13},  {2.675, 2, 2.68},  {1.005, 2, 1.01}, {-1.2345, 3, -1.235},
        {2.5, 0, 3},        {0.0005, 3, 0.001}, {1.0 / 3, 3, 0.333}, {0.285, 2, 0.29}, {1.07 * 2.5, 2, 2.68},
    };
    for (const auto& c : away) {
        EXPECT_DOUBLE_EQ(round_half_away(c.value, c.decimals), c.expected)
            << "half away from zero: " << c.value << " to " << c.decimals;
    }
}

TEST(Rounding, AgreesWithWholeNumberRoundingOnFourDecimalValues) {
    // n / 10000 rounded to 3 decimals is n rounded to tens, whatever binary form n / 10000 has.
    for (long n = -200000; n <= 200000; n += 7) {
        const long low = n >= 0 || n % 10 == 0 ? n / 10 * 10 : n / 10 * 10 - 10;  // tens at or below n
        const long rest = n - low;                                                // 0 .. 9
        long even = rest > 5 ? low + 10 : low;
        long away = even;
        if (rest == 5) {
            even = (low / 10) % 2 != 0 ? low + 10 : low;
            away = n > 0 ? low + 10 : low;
        }
        const double value = static_cast<double>(n) / 10000.0;
        ASSERT_DOUBLE_EQ(round_half_even(value, 3), static_cast<double>(even) / 10000.0) << n;
        ASSERT_DOUBLE_EQ(round_half_away(value, 3), static_cast<double>(away) / 10000.0) << n;
    }
}

TEST(Rounding, PatternsShowTheirDecimalsDigitsAndGroups) {
    struct PatternCase {
        double value;
        const char* pattern;
        const char* text;
    };
    const PatternCase cases[] = {
        {1.2345, "#########0.000", "1.235"},  {1.235, "#########0.000", "1.235"},
        {0.0004, "#########0.000", "0.000"},  {-0.0004, "#########0.000", "0.000"},
        {12.0, "#########0.000", "12.000"},   {-3.14159, "#########0.000", "-3.142"},
        {1234.5, "#,###,##0.00", "1,234.50"}, {1234567.005, "#,###,##0.00", "1,234,567.01"},
        {10.0, "#,###,##0.00", "10.00"},      {0.125, "#,###,##0.00", "0.13"},
        {4, "00", "04"},                      {22, "00", "22"},
        {0, "00", "00"},                      {4.5, "00", "05"},
        {0.5, "#.00", ".50"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(format_number(c.value, c.pattern), c.text) << c.value << " through " << c.pattern;
    }
    EXPECT_DOUBLE_EQ(pattern_value(1234567.005, "#,###,##0.00"), 1234567.01);
    EXPECT_DOUBLE_EQ(pattern_value(1.2345, "########0.000"), 1.235);
}

TEST(Rounding, SinglePrecisionResultsReadAsTheirDecimals) {
    EXPECT_EQ(widen_single(1.23f), 1.23);
    EXPECT_EQ(widen_single(7.0f), 7.0);
    EXPECT_EQ(widen_single(10.0f * (1.0f - 30.0f / 100.0f)), 7.0);
    EXPECT_NE(static_cast<double>(1.23f), 1.23) << "what a plain conversion would store";
}

TEST(FixedText, CutsAndPadsByCharacters) {
    EXPECT_EQ(fixed_width("CARD1", 13), "CARD1        ");
    EXPECT_EQ(fixed_width("ABCDEFGHIJKLMNOP", 13), "ABCDEFGHIJKLM");
    EXPECT_EQ(fixed_width("", 3), "   ");
    EXPECT_EQ(fixed_width(std::string(13, '\0'), 13), std::string(13, '\0'));
    EXPECT_EQ(fixed_width("CAFFÈ", 6), "CAFFÈ ") << "È is one character of two bytes";
    EXPECT_EQ(left_chars("CAFFÈ LUNGO", 5), "CAFFÈ");
    EXPECT_EQ(left_chars("ab", 5), "ab");
    EXPECT_EQ(trim_blanks("  PANE  CASERECCIO  "), "PANE  CASERECCIO");
    EXPECT_EQ(mid_chars("07/12/202611:37:05", 11, 10), "11:37:05");
    EXPECT_EQ(mid_chars("CAFFÈ LUNGO", 5, 3), "È L") << "counted in characters";
    EXPECT_EQ(mid_chars("abc", 5, 2), "");
    EXPECT_EQ(trim_blanks("   "), "");
}

}  // namespace
}  // namespace cassasync::sales
