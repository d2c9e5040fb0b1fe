// Loyalty-card readings made at a register (`cartetxrx` with `flag` 1) journalled
// centrally, their holders marked `stat_t` "R", the card queued for every register, the
// reading removed from the register; the window's counters show what was taken. A
// failure is one log line naming the step and the register; the result says whether
// the step finished (false: it stopped on an error).
#pragma once

#include "core/step_context.h"

namespace cassasync::loyalty {

bool Leggi_Tessere_Cassa(core::StepContext& ctx, int n);

}  // namespace cassasync::loyalty
