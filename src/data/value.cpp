#include "data/value.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "data/database.h"

namespace cassasync::data {

namespace {

std::string_view trim_blanks(std::string_view s) {
    auto b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) return {};
    auto e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

bool parse_number(std::string_view s, double& out) {
    s = trim_blanks(s);
    if (s.empty()) return false;
    std::string tmp(s);
    // A decimal comma is how the shop's machines may write a number as text.
    for (char& c : tmp)
        if (c == ',') c = '.';
    char* end = nullptr;
    errno = 0;
    double d = std::strtod(tmp.c_str(), &end);
    if (end != tmp.c_str() + tmp.size() || errno == ERANGE) return false;
    out = d;
    return true;
}

// A real number rounded to a whole one (halves to even). Outside the 64-bit range the
// conversion is refused: a plain cast there is undefined and on this machine gives a
// wrapped number that would slip past any later limit check.
std::int64_t whole_number(double d, const Value& v) {
    if (!std::isfinite(d)) throw DbError("cannot convert " + describe(v) + " to a whole number");
    const double r = std::nearbyint(d);
    // -2^63 and 2^63 are exact as doubles: every double from the first up to (not
    // including) the second converts.
    if (r < -0x1p63 || r >= 0x1p63) {
        throw DbError("cannot convert " + describe(v) + " to a whole number: outside the 64-bit range");
    }
    return static_cast<std::int64_t>(r);
}

}  // namespace

std::int64_t to_int(const Value& v) {
    if (auto* i = std::get_if<std::int64_t>(&v)) return *i;
    if (auto* d = std::get_if<double>(&v)) return whole_number(*d, v);
    if (auto* s = std::get_if<std::string>(&v)) {
        double d = 0;
        if (parse_number(*s, d)) return whole_number(d, v);
    }
    throw DbError("cannot convert " + describe(v) + " to a whole number");
}

double to_double(const Value& v) {
    if (auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
    if (auto* d = std::get_if<double>(&v)) return *d;
    if (auto* s = std::get_if<std::string>(&v)) {
        double d = 0;
        if (parse_number(*s, d)) return d;
    }
    throw DbError("cannot convert " + describe(v) + " to a number");
}

std::string to_text(const Value& v) {
    if (auto* s = std::get_if<std::string>(&v)) return *s;
    if (auto* i = std::get_if<std::int64_t>(&v)) return std::to_string(*i);
    if (auto* d = std::get_if<double>(&v)) {
        char buf[64];
        auto r = std::to_chars(buf, buf + sizeof buf, *d);
        return std::string(buf, r.ptr);
    }
    return {};
}

std::int64_t to_int_or(const Value& v, std::int64_t fallback) {
    if (is_null(v)) return fallback;
    return to_int(v);
}

double to_double_or(const Value& v, double fallback) {
    if (is_null(v)) return fallback;
    return to_double(v);
}

bool values_equal(const Value& a, const Value& b) {
    if (is_null(a) || is_null(b)) return false;
    bool a_text = std::holds_alternative<std::string>(a);
    bool b_text = std::holds_alternative<std::string>(b);
    if (a_text && b_text) return std::get<std::string>(a) == std::get<std::string>(b);
    if (!a_text && !b_text) {
        // Two whole numbers compare exactly, as SQL compares them: above 2^53 a double
        // no longer tells neighbours apart.
        const auto* x = std::get_if<std::int64_t>(&a);
        const auto* y = std::get_if<std::int64_t>(&b);
        if (x && y) return *x == *y;
        return to_double(a) == to_double(b);
    }
    double x = 0, y = 0;
    const Value& t = a_text ? a : b;
    const Value& n = a_text ? b : a;
    if (!parse_number(std::get<std::string>(t), x)) return false;
    y = to_double(n);
    return x == y;
}

std::string describe(const Value& v) {
    if (is_null(v)) return "NULL";
    if (std::holds_alternative<std::string>(v)) return "'" + std::get<std::string>(v) + "'";
    return to_text(v);
}

}  // namespace cassasync::data
