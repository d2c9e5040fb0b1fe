// The fixed Windows paths of the back office's own files, mapped below the root by the
// path map like every other configured path, the root itself, and the rule that finds
// the main database's folder from the company record.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace cassasync::core {

// The root every program works below unless told otherwise: $CASSASYNC_ROOT when set
// and not empty, else /var/lib/cassasync.
inline std::string default_root() {
    const char* env = std::getenv("CASSASYNC_ROOT");
    return env && *env ? env : "/var/lib/cassasync";
}

inline constexpr const char* kLogFolder = "C:\\tarvi\\bkp\\";
inline constexpr const char* kLoyaltyPath = "C:\\tarvi\\fidel.mdb";  // Percorso_Fidel
inline constexpr const char* kLoaderPath = "c:\\tarvi\\qvo_art.exe";

// Cartella_Dati from the company record's `database` value: the parts before the first
// "dati.mdb" among the first eleven, each followed by "\". "" when the value names no
// folder (the caller then uses drive + ":\tarvi\"); nullopt when it cannot be resolved
// (no "dati.mdb" among fewer than eleven parts), which is a failed company check.
std::optional<std::string> cartella_dati_of(const std::string& database_value);

}  // namespace cassasync::core
