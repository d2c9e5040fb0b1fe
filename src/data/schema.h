// The schema of each database kind, compiled into the program from src/data/schema/.
// Applying a schema is idempotent: every statement is CREATE ... IF NOT EXISTS.
// A new back-office file gets small pages (see apply_schema). A file made with an
// earlier schema gets the indexes the lookups now need from upgrade_indexes.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "data/database.h"

namespace cassasync::data {

enum class DatabaseKind { company, main, sales, loyalty, register_db };

// Page size of a new back-office file (main, sales, loyalty).
inline constexpr int kCentralPageSize = 1024;

std::string_view schema_name(DatabaseKind kind);  // "company", "main", ... "register"
std::optional<std::string_view> embedded_schema(std::string_view kind);
void apply_schema(Database& db, DatabaseKind kind);

// An index rebuilt by upgrade_indexes; `error` is set when the file's rows refused the
// new definition (a unique index that now takes two keys as one) and the old index stayed.
struct IndexUpgrade {
    std::string name;
    std::string error;
};

// Rebuilds, in the file known to `db` as `schema` ("main", or an attached file's name),
// every index of `kind`'s schema that the file stores with another definition or lacks
// on a table it has, all in one transaction; the tables are left as they are. Nothing
// to do once the file's indexes are the schema's, so a second call returns nothing.
std::vector<IndexUpgrade> upgrade_indexes(Database& db, DatabaseKind kind, const std::string& schema = "main");

// The service's own bookkeeping tables, made in a file that predates them when it is
// opened. The shop's tables are never made this way: a file without one of them is
// wrong, and fails where the table is used, naming it.
inline constexpr std::string_view kServiceTables[] = {"righe_trattenute"};

// Creates, in the file known to `db` as `schema`, those of `tables` that `kind`'s schema
// defines and the file lacks, as the schema defines them, in one transaction. Raises
// DbError, saying what to do, when the file cannot be changed.
void upgrade_tables(Database& db, DatabaseKind kind, const std::string& schema,
                    std::span<const std::string_view> tables);

}  // namespace cassasync::data
