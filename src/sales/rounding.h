// Decimal rounding of the amounts and quantities written into sales rows and article
// records. Two rules are in use: a value rounded as a number goes halves to even
// (0.125 -> 0.12), a value that passes through a display pattern such as
// "#########0.000" goes halves away from zero (1.2345 -> 1.235).
//
// A double cannot hold most decimal fractions (1.2345 is stored as 1.23449999...), so
// rounding looks at the value's decimal digits to 15 significant places, the precision
// a double carries, instead of its binary expansion: a half that reads as a half is
// treated as one.
#pragma once

#include <string>
#include <string_view>

namespace cassasync::sales {

double round_half_even(double value, int decimals);
double round_half_away(double value, int decimals);

// Text of `value` through a pattern of '#', '0', ',' and '.': as many decimals as the
// pattern has digits after '.', rounded halves away from zero; at least as many integer
// digits as the pattern has '0's before '.'; thousands grouped by ',' when the pattern
// has one ("#,###,##0.00" gives "1,234.50"; "00" gives "04").
std::string format_number(double value, std::string_view pattern);
// The number the pattern's text shows: `value` rounded halves away from zero to the
// pattern's decimals.
double pattern_value(double value, std::string_view pattern);

// A single-precision result as the decimal it shows (7.0f as 7.0, 1.23f as 1.23, not
// 1.2300000190734863), so that stored costs read as they were computed.
double widen_single(float value);

}  // namespace cassasync::sales
