#include "data/fixed_text.h"

namespace cassasync::data {
namespace {

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0u) == 0x80u; }

// Byte length of the first `count` characters, and how many characters that is.
std::size_t prefix_bytes(std::string_view s, std::size_t count, std::size_t& chars) {
    chars = 0;
    std::size_t i = 0;
    while (i < s.size() && chars < count) {
        ++i;
        while (i < s.size() && is_continuation(s[i])) ++i;
        ++chars;
    }
    return i;
}

}  // namespace

std::string left_chars(std::string_view s, std::size_t count) {
    std::size_t chars = 0;
    return std::string(s.substr(0, prefix_bytes(s, count, chars)));
}

std::string fixed_width(std::string_view s, std::size_t width) {
    std::size_t chars = 0;
    std::string out(s.substr(0, prefix_bytes(s, width, chars)));
    out.append(width - chars, ' ');
    return out;
}

std::string mid_chars(std::string_view s, std::size_t from, std::size_t count) {
    std::size_t chars = 0;
    const std::size_t start = from > 1 ? prefix_bytes(s, from - 1, chars) : 0;
    return left_chars(s.substr(start), count);
}

std::string trim_blanks(std::string_view s) {
    auto b = s.find_first_not_of(' ');
    if (b == std::string_view::npos) return {};
    auto e = s.find_last_not_of(' ');
    return std::string(s.substr(b, e - b + 1));
}

}  // namespace cassasync::data
