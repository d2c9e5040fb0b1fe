// Starts the article loader "c:\tarvi\qvo_art.exe" (mapped below the root), detached
// and without arguments, when it exists as an ordinary file. Absent, it is not started
// and nothing is said; present but not executable, or failing to start, it raises
// std::runtime_error for the caller to report.
#pragma once

#include "core/step_context.h"

namespace cassasync::masterdata {

void start_qvo(core::StepContext& ctx);

}  // namespace cassasync::masterdata
