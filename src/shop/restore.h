// Putting a backup back: `cassasync-shop restore`. Refused while the service holds the
// root's lock (and the lock is held for the whole restore, so the service cannot start
// half-way). The copy's manifest is checked first (each file there, of its size and
// SHA-256); the current files are moved aside into ROOT/C/tarvi/bkp/prima-del-ripristino-
// YYYYMMDD-HHMMSS/, never deleted; the copies are put in place and checked with
// PRAGMA integrity_check. Lives for one call.
#pragma once

#include <filesystem>
#include <string>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/path_map.h"

namespace cassasync::shop {

struct RestoreResult {
    Status status = Status::ok();
    std::filesystem::path from;       // the copy's folder
    std::filesystem::path set_aside;  // where the files replaced went
};

// `from`: a copy's folder, or "latest" for the newest below `backups` (the service's
// backup folder). `root` is the shop root holding cassasync.lock; `now` names the folder
// the current files go to.
RestoreResult restore_backup(const platform::PathMap& paths, const std::filesystem::path& root,
                             const std::filesystem::path& backups, const std::string& from,
                             const platform::LocalTime& now);

}  // namespace cassasync::shop
