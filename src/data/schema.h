// The schema of each database kind, compiled into the program from src/data/schema/.
// Applying a schema is idempotent: every statement is CREATE ... IF NOT EXISTS.
// A new back-office file gets small pages (see apply_schema).
#pragma once

#include <optional>
#include <string_view>

#include "data/database.h"

namespace cassasync::data {

enum class DatabaseKind { company, main, sales, loyalty, register_db };

// Page size of a new back-office file (main, sales, loyalty).
inline constexpr int kCentralPageSize = 1024;

std::string_view schema_name(DatabaseKind kind);  // "company", "main", ... "register"
std::optional<std::string_view> embedded_schema(std::string_view kind);
void apply_schema(Database& db, DatabaseKind kind);

}  // namespace cassasync::data
