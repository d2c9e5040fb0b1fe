// Invoices issued at a register (`fatte` marked `fl1ts` "F", rows in `fatmo`) copied
// into the central invoice tables when not yet there; the central counter is raised to
// the highest number copied. Database errors reach the caller.
#pragma once

#include "core/step_context.h"

namespace cassasync::invoices {

void Recupero_Fatture(core::StepContext& ctx, int n);

}  // namespace cassasync::invoices
