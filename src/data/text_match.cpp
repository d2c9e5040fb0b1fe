#include "data/text_match.h"

#include "data/fixed_text.h"

namespace cassasync::data {

namespace {

// The collation a condition names in a file of `role`; the register's indexes are binary.
std::string collated(std::string_view expr, FileRole role) {
    std::string out(expr);
    if (role == FileRole::central) out += " COLLATE NOCASE";
    return out;
}

char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_folded(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

}  // namespace

std::string same_text(std::string_view expr, FileRole role) { return collated(expr, role) + " = ?"; }

std::string same_key(std::string_view expr, FileRole role) { return collated(expr, role) + " IN (?, ?)"; }

std::vector<Value> key_forms(const Value& key) {
    std::vector<Value> forms;
    add_key_forms(forms, key);
    return forms;
}

void add_key_forms(std::vector<Value>& params, const Value& key) {
    if (is_null(key)) {
        params.insert(params.end(), 2, kNull);
        return;
    }
    std::string trimmed = to_text(key);
    trimmed.erase(trimmed.find_last_not_of(' ') + 1);
    // A key longer than its width is never cut: cut, it would name another key.
    const bool fits = left_chars(trimmed, kKeyWidth).size() == trimmed.size();
    params.push_back(Value(fits ? fixed_width(trimmed, kKeyWidth) : trimmed));
    params.push_back(Value(std::move(trimmed)));
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
