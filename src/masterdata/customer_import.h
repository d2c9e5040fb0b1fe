// Customers added or changed at a register (register `clienti` marked "A") copied into
// the central `clienti`, marked `stat_t` "R"; the register row becomes "T". Always ends
// in the invoice recovery of the same register. Database errors reach the caller.
#pragma once

#include "frame/context.h"

namespace cassasync::masterdata {

void Aggiorna_Clienti(frame::Context& ctx, int n);

}  // namespace cassasync::masterdata
