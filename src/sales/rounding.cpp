#include "sales/rounding.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

namespace cassasync::sales {
namespace {

enum class Halves { to_even, away_from_zero };

constexpr int kSignificant = 15;

constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};

double round_decimal(double value, int decimals, Halves halves) {
    if (!std::isfinite(value) || value == 0.0) return value;
    if (decimals >= 0 && decimals < static_cast<int>(std::size(kPowersOfTen))) {
        // Away from a half the binary error cannot change the result: round the scaled
        // value directly. k / 10^d is then the double nearest to the decimal k x 10^-d.
        const double scale = kPowersOfTen[decimals];
        const double scaled = value * scale;
        if (std::fabs(scaled) < 1e9) {
            const double fraction = std::fabs(scaled - std::trunc(scaled));
            if (std::fabs(fraction - 0.5) > 1e-6) return std::round(scaled) / scale;
        }
    }
    // "d.dddddddddddddde+XX": 15 significant digits, the first before the point.
    char text[64];
    std::snprintf(text, sizeof text, "%.*e", kSignificant - 1, value);
    const bool negative = text[0] == '-';
    const char* p = text + (negative ? 1 : 0);
    std::string digits;
    digits.reserve(kSignificant);
    for (; *p && *p != 'e'; ++p) {
        if (*p != '.') digits.push_back(*p);
    }
    const int exponent = std::atoi(p + 1);
    // Digits kept: those at or above the 10^-decimals place.
    const int keep = exponent + 1 + decimals;
    if (keep >= kSignificant) return value;  // nothing beyond the wanted decimals
    if (keep < 0) return negative ? -0.0 : 0.0;

    long long kept = 0;
    for (int i = 0; i < keep; ++i) kept = kept * 10 + (digits[static_cast<std::size_t>(i)] - '0');
    const char first_dropped = digits[static_cast<std::size_t>(keep)];
    bool rest_nonzero = false;
    for (std::size_t i = static_cast<std::size_t>(keep) + 1; i < digits.size(); ++i) {
        if (digits[i] != '0') rest_nonzero = true;
    }
    bool up = false;
    if (first_dropped > '5' || (first_dropped == '5' && rest_nonzero)) {
        up = true;
    } else if (first_dropped == '5') {
        up = halves == Halves::away_from_zero || (kept % 2 != 0);
    }
    if (up) ++kept;
    // kept x 10^(exponent + 1 - keep) == kept x 10^-decimals; strtod gives the nearest double.
    std::snprintf(text, sizeof text, "%s%llde%d", negative ? "-" : "", kept, -decimals);
    return std::strtod(text, nullptr);
}

struct Pattern {
    int decimals = 0;
    int min_integer_digits = 0;
    bool grouped = false;
};

Pattern parse_pattern(std::string_view pattern) {
    Pattern out;
    auto point = pattern.find('.');
    std::string_view whole = pattern.substr(0, point);
    if (point != std::string_view::npos) {
        for (char c : pattern.substr(point + 1)) {
            if (c == '0' || c == '#') ++out.decimals;
        }
    }
    for (char c : whole) {
        if (c == '0') ++out.min_integer_digits;
        if (c == ',') out.grouped = true;
    }
    return out;
}

}  // namespace

double round_half_even(double value, int decimals) {
    return round_decimal(value, decimals, Halves::to_even);
}

double round_half_away(double value, int decimals) {
    return round_decimal(value, decimals, Halves::away_from_zero);
}

std::string format_number(double value, std::string_view pattern) {
    const Pattern p = parse_pattern(pattern);
    double rounded = round_half_away(value, p.decimals);
    if (rounded == 0.0) rounded = 0.0;  // no "-0.00"
    char text[512];
    std::snprintf(text, sizeof text, "%.*f", p.decimals, std::fabs(rounded));
    std::string body = text;
    auto point = body.find('.');
    std::string whole = body.substr(0, point);
    std::string fraction = point == std::string::npos ? std::string() : body.substr(point);
    // "0" alone is no digit the pattern asked for: "#.00" shows 0.5 as ".50".
    if (whole == "0" && p.min_integer_digits == 0) whole.clear();
    while (static_cast<int>(whole.size()) < p.min_integer_digits) whole.insert(whole.begin(), '0');
    if (p.grouped) {
        std::string grouped;
        int count = 0;
        for (auto it = whole.rbegin(); it != whole.rend(); ++it) {
            if (count > 0 && count % 3 == 0) grouped.insert(grouped.begin(), ',');
            grouped.insert(grouped.begin(), *it);
            ++count;
        }
        whole = grouped;
    }
    return (rounded < 0 ? "-" : "") + whole + fraction;
}

double pattern_value(double value, std::string_view pattern) {
    return round_half_away(value, parse_pattern(pattern).decimals);
}

double widen_single(float value) {
    if (!std::isfinite(value)) return static_cast<double>(value);
    char text[64];
    auto result = std::to_chars(text, text + sizeof text - 1, value);
    *result.ptr = '\0';
    return std::strtod(text, nullptr);
}

}  // namespace cassasync::sales
