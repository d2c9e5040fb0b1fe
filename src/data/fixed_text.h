// Fixed-width text fields of the shop's records (a 13-character barcode or card number,
// a 45-character customer name): cut to a number of characters or left-justified and
// padded with blanks. Texts are UTF-8; a character is never split.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace cassasync::data {

// The first `count` characters of `s` (all of it when shorter).
std::string left_chars(std::string_view s, std::size_t count);
// `s` left-justified in a field of `width` characters: padded with blanks or cut.
std::string fixed_width(std::string_view s, std::size_t width);
// Characters `from` (1-based) to `from + count - 1` of `s`, as the dialect's mid does.
std::string mid_chars(std::string_view s, std::size_t from, std::size_t count);
// `s` without leading and trailing blanks.
std::string trim_blanks(std::string_view s);

}  // namespace cassasync::data
