// The reconciliation of a whole shop for one day, as `cassasync-shop reconcile` runs it
// beside a running service: the shop's files are found as start-up finds them, the
// central files are opened for reading only (query_only) on a connection of its own, and
// each register named in `casse` is checked with sales::reconcile_register. Lives for
// one call; the program only formats the result.
#pragma once

#include <filesystem>
#include <vector>

#include "platform/error.h"
#include "platform/path_map.h"
#include "sales/reconciliation.h"

namespace cassasync::shop {

struct ShopReconciliation {
    Status status = Status::ok();  // not ok: the shop's files could not be read, nothing checked
    std::vector<sales::RegisterDayCheck> registers;
    std::vector<int> requeued;  // per register, lines set back to waiting (with `requeue`)

    // 0 when every register agrees, 1 on a difference, 2 when something could not be checked.
    int exit_code() const;
};

// Checks day `day` (a day serial) of every register, or only of register `only` (1..10).
// With a `lock_file` (the root's cassasync.lock) the imported lines missing centrally are
// set back to waiting afterwards (sales::requeue_missing), refused while the service
// holds the lock.
ShopReconciliation reconcile_shop(const platform::PathMap& paths, long day, int only = 0,
                                  const std::filesystem::path& requeue_lock_file = {});

}  // namespace cassasync::shop
