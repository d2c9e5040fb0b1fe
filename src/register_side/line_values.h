// How the register writes its numbers, barcodes and time stamps: the small helpers the
// register side's actions share. Internal to src/register_side/.
#pragma once

#include <cstdint>
#include <string>

#include "platform/clock.h"

namespace cassasync::register_side {

// The barcode of a line rung up on a department, without an article of the catalogue;
// never given to a new article.
inline constexpr const char* kUnlistedBarcode = "8099999999999";

double round_to(double value, int decimals);
// `value` with leading zeros to `width` digits.
std::string pad_digits(std::int64_t value, int width);
// The EAN-13 check digit of the first twelve digits.
char ean_check_digit(const std::string& twelve);

// Now as the register stamps a line: the local time, today's day serial and the time of
// day as a fraction.
struct Moment {
    platform::LocalTime local;
    double day = 0;
    double time = 0;
};
Moment now_moment();

}  // namespace cassasync::register_side
