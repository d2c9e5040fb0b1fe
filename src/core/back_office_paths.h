// The fixed Windows paths of the back office's own files, mapped below the root by the
// path map like every other configured path, and the root itself.
#pragma once

#include <cstdlib>
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

}  // namespace cassasync::core
