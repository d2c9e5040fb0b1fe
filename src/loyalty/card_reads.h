// Loyalty-card readings made at a register (`cartetxrx` with `flag` 1) journalled
// centrally, their holders marked `stat_t` "R", the card queued for every register, the
// reading removed from the register; the window's counters show what was taken. A
// failure is raised to the cycle's failure policy (frame/register_steps.h).
#pragma once

#include "core/step_context.h"

namespace cassasync::loyalty {

void Leggi_Tessere_Cassa(core::StepContext& ctx, int n);

}  // namespace cassasync::loyalty
