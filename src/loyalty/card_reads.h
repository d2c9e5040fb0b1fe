// Loyalty-card readings made at a register (`cartetxrx` with `flag` 1) journalled
// centrally, their holders marked `stat_t` "R", the card queued for every register, the
// reading removed from the register; the window's counters show what was taken. Ends in
// the article synchronisation of the same register.
#pragma once

#include "frame/context.h"

namespace cassasync::loyalty {

void Leggi_Tessere_Cassa(frame::Context& ctx, int n);

}  // namespace cassasync::loyalty
