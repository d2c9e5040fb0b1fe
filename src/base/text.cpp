#include "base/text.h"

#include <algorithm>
#include <string>

namespace cassasync::base {
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

namespace {
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

std::string lower_ascii(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = fold_ascii(c);
    return out;
}

bool equal_folded(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (fold_ascii(a[i]) != fold_ascii(b[i])) return false;
    }
    return true;
}

std::string leading_number_text(std::string_view value) {
    std::size_t i = 0;
    while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
    bool negative = false;
    if (i < value.size() && (value[i] == '-' || value[i] == '+')) {
        negative = value[i] == '-';
        ++i;
    }
    std::string whole;
    while (i < value.size() && is_ascii_digit(value[i])) whole += value[i++];
    std::string fraction;
    if (i < value.size() && value[i] == '.') {
        ++i;
        while (i < value.size() && is_ascii_digit(value[i])) fraction += value[i++];
    }
    // Plain decimal: no leading zeros, no trailing zeros after the point.
    whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
    if (whole.empty()) whole = "0";
    std::string out = whole;
    if (!fraction.empty()) out += "." + fraction;
    if (negative && out != "0") out = "-" + out;
    return out;
}

std::vector<std::string> split(std::string_view s, char separator) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    while (true) {
        const auto at = s.find(separator, from);
        parts.emplace_back(s.substr(from, at == std::string_view::npos ? std::string_view::npos : at - from));
        if (at == std::string_view::npos) return parts;
        from = at + 1;
    }
}

}  // namespace cassasync::base
