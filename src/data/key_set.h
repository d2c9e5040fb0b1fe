// Key sets: one statement that reaches many rows of a table by their keys, in one
// execution. The keys are bound as one parameter, a JSON array of integers, which the
// clause unpacks with SQLite's json_each; one statement rather than one per row keeps a
// register locked for as short as can be.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "data/value.h"

namespace cassasync::data {

// "COLUMN IN (SELECT value FROM json_each(?))": true for the rows whose COLUMN is one of
// the keys bound to its one parameter.
std::string in_key_set(std::string_view column);

// "COLUMN NOT IN (SELECT value FROM json_each(?))": the rows whose COLUMN is none of them.
std::string not_in_key_set(std::string_view column);

// The keys as the text a key set parameter takes: a JSON array of integers.
Value key_set(const std::vector<std::int64_t>& keys);

}  // namespace cassasync::data
