// The fixed Windows paths of the back office's own files, mapped below the root by the
// path map like every other configured path.
#pragma once

namespace cassasync::core {

inline constexpr const char* kLogFolder = "C:\\tarvi\\bkp\\";
inline constexpr const char* kLoyaltyPath = "C:\\tarvi\\fidel.mdb";  // Percorso_Fidel
inline constexpr const char* kLoaderPath = "c:\\tarvi\\qvo_art.exe";

}  // namespace cassasync::core
