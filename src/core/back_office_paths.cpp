#include "core/back_office_paths.h"

#include <vector>

#include "base/text.h"

namespace cassasync::core {

namespace {

// The `database` value is searched for the main file among its first eleven parts.
constexpr int kMaxFolderParts = 11;

}  // namespace

std::optional<std::string> cartella_dati_of(const std::string& database_value) {
    const std::vector<std::string> parts = base::split(database_value, '\\');
    std::string folder;
    for (int i = 0; i < kMaxFolderParts; ++i) {
        // Fewer than eleven parts and none of them the main file: nothing to resolve.
        if (static_cast<std::size_t>(i) >= parts.size()) return std::nullopt;
        const std::string& part = parts[static_cast<std::size_t>(i)];
        const std::string name = base::trim_blanks(part);
        if (name == "dati.mdb" || name == "Dati.mdb" || name == "DATI.MDB") break;
        folder += part + "\\";
    }
    return folder;
}

}  // namespace cassasync::core
