// Starts the article loader "c:\tarvi\qvo_art.exe" (mapped below the root), detached
// and without arguments, when it exists as an ordinary file. Absent, it is not started
// and nothing is said; present but not executable, or failing to start, it raises
// std::runtime_error for the caller to report.
#pragma once

#include "platform/path_map.h"
#include "platform/process_starter.h"

namespace cassasync::masterdata {

void start_qvo(const platform::PathMap& paths, platform::ProcessStarter& starter);

}  // namespace cassasync::masterdata
