// Fixed-width text fields of the shop's records (a 13-character barcode or card number,
// a 45-character customer name): cut to a number of characters or left-justified and
// padded with blanks. Texts are UTF-8; a character is never split.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace cassasync::sales {

// The first `count` characters of `s` (all of it when shorter).
std::string left_chars(std::string_view s, std::size_t count);
// `s` left-justified in a field of `width` characters: padded with blanks or cut.
std::string fixed_width(std::string_view s, std::size_t width);
// `s` without leading and trailing blanks.
std::string trim_blanks(std::string_view s);

}  // namespace cassasync::sales
