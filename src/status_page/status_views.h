// What the status server sends, made from one health snapshot: the JSON document of
// `/status.json`, the Prometheus text of `/metrics` and the page of `/`, which carries
// the snapshot inline (so it shows at once, without a script's first request) and then
// refreshes it from `/status.json`. Pure functions: no I/O, no locks.
#pragma once

#include <string>
#include <string_view>

#include "frame/health.h"

namespace cassasync::status_page {

std::string status_json(const frame::HealthSnapshot& s);
std::string metrics_text(const frame::HealthSnapshot& s);
std::string status_html(const frame::HealthSnapshot& s);

// The page as compiled in, with its placeholder for the inline snapshot.
std::string_view embedded_page();

}  // namespace cassasync::status_page
