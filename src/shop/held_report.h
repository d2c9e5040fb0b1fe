// What `cassasync-shop held` shows and does: the register rows a shop holds (see
// data/held_rows.h), with cause, age and tries, and a request that the next cycle write
// their failures to the log again. A held row cannot be removed here: it leaves only by
// being taken, once mended.
#pragma once

#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/path_map.h"

namespace cassasync::shop {

// The held rows, of register `n` or of all, one per line, into `out`; a line saying so
// when there are none. Ages are counted to `now`.
Status report_held_rows(const platform::PathMap& paths, std::optional<int> n, const platform::LocalTime& now,
                        std::string& out);

// The next failure of every held row is written to the log again; `count`: how many rows.
Status request_held_retry(const platform::PathMap& paths, int& count);

}  // namespace cassasync::shop
