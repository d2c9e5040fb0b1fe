// A strict JSON reader for tests that check a document's shape and values: objects,
// arrays, texts, numbers, true, false, null. Raises std::runtime_error on anything that
// is not JSON, so a malformed document fails the test that reads it.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace cassasync::testing {

struct Json {
    using Object = std::map<std::string, Json>;
    using Array = std::vector<Json>;
    std::variant<std::nullptr_t, bool, double, std::string, Array, Object> v;

    static Json parse(const std::string& text);
    bool is_null() const { return std::holds_alternative<std::nullptr_t>(v); }
    bool is_object() const { return std::holds_alternative<Object>(v); }
    bool is_array() const { return std::holds_alternative<Array>(v); }
    bool is_text() const { return std::holds_alternative<std::string>(v); }
    bool is_number() const { return std::holds_alternative<double>(v); }
    bool is_bool() const { return std::holds_alternative<bool>(v); }
    // Members and elements; raise when the value is of another kind or the member is missing.
    const Json& operator[](const std::string& member) const;
    const Json& operator[](std::size_t index) const;
    const Array& array() const;
    const Object& object() const;
    const std::string& text() const;
    double number() const;
    bool boolean() const;
};

}  // namespace cassasync::testing
