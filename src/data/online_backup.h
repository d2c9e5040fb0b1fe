// Consistent copies of open database files with SQLite's online backup API: a copy is
// taken page by page from a connection that holds no transaction, so it is the file as
// one committed state, even while registers' rows keep arriving between cycles. Also
// the checks a copy is described by: integrity and row counts.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "data/database.h"
#include "platform/error.h"

namespace cassasync::data {

// Copies the database attached to `source` as `schema` ("main" for its own file) into
// `target`, a new file. REQUIRES: `source` holds no transaction.
Status backup_database(Database& source, const std::string& schema, const std::filesystem::path& target);

// "ok" when PRAGMA integrity_check finds nothing, else its first finding (or why the
// file could not be opened).
std::string integrity_of(const std::filesystem::path& file);

// Row counts of those of `tables` the file has, in the order given.
std::vector<std::pair<std::string, std::int64_t>> row_counts(const std::filesystem::path& file,
                                                             const std::vector<std::string>& tables);

}  // namespace cassasync::data
