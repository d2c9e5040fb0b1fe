// The process-wide values of the service, in one object created by the program's main
// and living until the program ends: the step context every register step receives,
// plus what only start-up and the cycle keep (the tick counter, the health model, the
// backup options and the day of the last backup tried). The health model is read by
// other threads (window, status server) and is thread-safe, like the status board.
#pragma once

#include <filesystem>
#include <string>

#include "core/step_context.h"
#include "frame/health.h"

namespace cassasync::frame {

// Where the backups go and how many are kept (the program's --backup-dir, --keep-backups).
struct BackupOptions {
    std::filesystem::path folder;  // empty: ROOT/C/tarvi/bkp/copie
    int keep = 14;
};

struct Context : core::StepContext {
    using core::StepContext::StepContext;

    int Contatore_Cicli = 0;
    Health health;  // thread-safe, like the board

    BackupOptions backups;
    // The day serial of the last backup tried after a close: a failed copy is tried once
    // a day, not per cycle.
    long backup_tried_day = 0;
    // Why the last backup failed; empty when it was made (or none was tried yet).
    std::string backup_failure;
};

}  // namespace cassasync::frame
