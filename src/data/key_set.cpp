#include "data/key_set.h"

#include <utility>

namespace cassasync::data {

namespace {

constexpr std::string_view kIn = " IN ";
constexpr std::string_view kNotIn = " NOT IN ";
constexpr std::string_view kKeys = "(SELECT value FROM json_each(?))";

std::string clause(std::string_view column, std::string_view test) {
    std::string sql(column);
    sql += test;
    sql += kKeys;
    return sql;
}

}  // namespace

std::string in_key_set(std::string_view column) { return clause(column, kIn); }

std::string not_in_key_set(std::string_view column) { return clause(column, kNotIn); }

Value key_set(const std::vector<std::int64_t>& keys) {
    std::string json = "[";
    json.reserve(keys.size() * 8 + 2);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (i > 0) json += ',';
        json += std::to_string(keys[i]);
    }
    json += ']';
    return Value(std::move(json));
}

}  // namespace cassasync::data
