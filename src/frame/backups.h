// Backups of the back office's four files (company, main, sales, loyalty): after the
// first close of each day, and at start-up when the newest copy is more than a day old,
// the service copies them with SQLite's online backup API into a folder of their own,
// ROOT/C/tarvi/bkp/copie/YYYYMMDD-HHMMSS/ unless told otherwise (the names are those of
// shop/backup_folders.h, which a restore reads back), checks each copy, writes a
// manifest and keeps the newest `keep` folders. A folder takes its name only once all of
// it is on disk. A failed backup is one log line; the cycle goes on. The options live in
// the context; the folders on disk are the only state that outlives the process, so a
// restart knows what was already copied.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "frame/context.h"
#include "platform/clock.h"
#include "shop/backup_folders.h"

namespace cassasync::frame {

struct BackupResult {
    Status status = Status::ok();
    std::filesystem::path folder;  // the copy's folder, when one was made
};

// The folder the copies go into: BackupOptions::folder, else ROOT/C/tarvi/bkp/copie.
std::filesystem::path backup_root(const Context& ctx);

// Copies the four files now into a new folder named after `now`, checks them and writes
// the manifest: one line per file ("file NAME SIZE SHA256") and per main table ("rows
// NAME TABLE COUNT"). The copy is made in "NAME-in-corso" and renamed when every file
// and the manifest are synced; a copy that fails leaves its folder renamed
// "NAME-non-riuscita"; one a crash or power cut stopped is removed by the next copy.
// REQUIRES: the central connection holds no transaction.
BackupResult make_backup(Context& ctx, const platform::LocalTime& now);

// Removes all but the newest `keep` copies' folders.
void keep_newest(const std::filesystem::path& root, int keep);

// A copy when one is due, logged on one line: called by the service after start-up
// (`at_startup`) and by the cycle at its end, when it holds no transaction.
void back_up_if_due(Context& ctx, bool at_startup);

}  // namespace cassasync::frame
