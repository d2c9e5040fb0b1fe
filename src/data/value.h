// A field value as the databases hold it: null, whole number, real number or text.
// Conversions follow the shop's databases: a number stored as text converts, a null
// is tested for explicitly by the caller (the `*_or` helpers give a fallback).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace cassasync::data {

using Value = std::variant<std::monostate, std::int64_t, double, std::string>;

inline const Value kNull{};

inline bool is_null(const Value& v) { return std::holds_alternative<std::monostate>(v); }

// Conversions raise DbError("cannot convert ...") for a null or a text that is not a
// number, like the original engine raising on a bad conversion; `to_int` also for a
// number outside the 64-bit range or not a number at all (NaN, infinity).
std::int64_t to_int(const Value& v);
double to_double(const Value& v);
std::string to_text(const Value& v);  // null gives an empty text

// The fallback stands for a null only: any other value converts or raises as above.
std::int64_t to_int_or(const Value& v, std::int64_t fallback);
double to_double_or(const Value& v, double fallback);

// Equality as a find-first criterion compares it: numbers by value, texts exactly.
bool values_equal(const Value& a, const Value& b);

// A short text for error messages and logs ("NULL", "12", "abc").
std::string describe(const Value& v);

inline Value text(std::string_view s) { return Value(std::string(s)); }
inline Value integer(std::int64_t n) { return Value(n); }
inline Value real(double d) { return Value(d); }

}  // namespace cassasync::data
