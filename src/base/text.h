// The small text rules every layer shares, below them all: ASCII case folding (how the
// shop's files and Windows names compare, whatever the process's locale), fixed-width
// fields of the shop's records (a 13-character barcode or card number, a 45-character
// customer name: cut to a number of characters or left-justified and padded with
// blanks; texts are UTF-8 and a character is never split), blank trims, the parts of a
// path or address and the leading number of a switch text. Pure functions, no state.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace cassasync::base {

// The first `count` characters of `s` (all of it when shorter).
std::string left_chars(std::string_view s, std::size_t count);
// `s` left-justified in a field of `width` characters: padded with blanks or cut.
std::string fixed_width(std::string_view s, std::size_t width);
// Characters `from` (1-based) to `from + count - 1` of `s`, as the dialect's mid does.
std::string mid_chars(std::string_view s, std::size_t from, std::size_t count);
// `s` without leading and trailing blanks.
std::string trim_blanks(std::string_view s);

// An ASCII letter in lower case; every other byte as it is.
constexpr char fold_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
// `s` with its ASCII letters in lower case.
std::string lower_ascii(std::string_view s);
// Whether `a` and `b` are the same text apart from ASCII letter case.
bool equal_folded(std::string_view a, std::string_view b);

// The parts of `s` between the `separator`s, empty ones included: "\\\\host\\x" at a
// backslash gives "", "", "host", "x"; an empty text gives one empty part.
std::vector<std::string> split(std::string_view s, char separator);

// The number a text holds in its leading part (leading blanks skipped, an optional sign,
// digits, an optional fraction) as its plain decimal text: "007" gives "7", "x" gives "0".
std::string leading_number_text(std::string_view value);

}  // namespace cassasync::base
