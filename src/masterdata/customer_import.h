// Customers added or changed at a register (register `clienti` marked "A") copied into
// the central `clienti`, marked `stat_t` "R"; the register row becomes "T". Database
// errors reach the caller.
#pragma once

#include "core/step_context.h"

namespace cassasync::masterdata {

void Aggiorna_Clienti(core::StepContext& ctx, int n);

}  // namespace cassasync::masterdata
