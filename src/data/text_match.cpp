#include "data/text_match.h"

#include "base/text.h"

namespace cassasync::data {

namespace {

char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_folded(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

}  // namespace

std::string same_text(std::string_view expr, FileRole role) {
    // The register's indexes are binary: a collation there would make every seek a scan.
    return std::string(expr) + (role == FileRole::central ? " COLLATE NOCASE = ?" : " = ?");
}

std::vector<Value> key_forms(const Value& key) {
    if (is_null(key)) return {kNull};
    std::string trimmed = to_text(key);
    trimmed.erase(trimmed.find_last_not_of(' ') + 1);
    // A key longer than its width is never cut: cut, it would name another key.
    const bool fits = base::left_chars(trimmed, kKeyWidth).size() == trimmed.size();
    std::string padded = fits ? base::fixed_width(trimmed, kKeyWidth) : trimmed;
    if (padded == trimmed) return {Value(std::move(trimmed))};
    return {Value(std::move(padded)), Value(std::move(trimmed))};
}

bool same_text_value(const Value& stored, const Value& wanted, FileRole role) {
    const auto* a = std::get_if<std::string>(&stored);
    const auto* b = std::get_if<std::string>(&wanted);
    if (a && b && role == FileRole::central) return equal_folded(*a, *b);
    return values_equal(stored, wanted);
}

bool same_key_value(const Value& stored, const Value& wanted, FileRole role) {
    for (const auto& form : key_forms(wanted)) {
        if (same_text_value(stored, form, role)) return true;
    }
    return false;
}

}  // namespace cassasync::data
