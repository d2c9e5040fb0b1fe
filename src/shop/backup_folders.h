// How the backups' folders are named and found on disk: the service makes the copies
// (frame/backups.h), a restore reads them back; both go by these names only. A copy's
// folder is named YYYYMMDD-HHMMSS after the time it was made; while it is being made it
// carries "-in-corso", and a copy that failed keeps "-non-riuscita": neither is a copy.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace cassasync::shop {

inline constexpr const char* kBackupFolder = "C:\\tarvi\\bkp\\copie\\";
inline constexpr const char* kManifestName = "manifest.txt";
inline constexpr const char* kFailedSuffix = "-non-riuscita";
// A copy under way: renamed to its own name only once every file and the manifest are on
// disk, so a power cut or a crash half-way never leaves a folder that passes for a copy.
inline constexpr const char* kUnderWaySuffix = "-in-corso";

// YYYYMMDD-HHMMSS: a copy's folder name, and the stamp of the files set aside by a restore.
std::string folder_name(const platform::LocalTime& t);

// The copies' folders below `root`, oldest first (their names sort by time).
std::vector<std::filesystem::path> backup_folders(const std::filesystem::path& root);

}  // namespace cassasync::shop
