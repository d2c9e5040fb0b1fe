// Invoices issued at a register (`fatte` marked `fl1ts` "F", rows in `fatmo`) copied
// into the central invoice tables when not yet there; the central counter is raised to
// the highest number copied. Always ends in the receipt import of the same register.
#pragma once

#include "frame/context.h"

namespace cassasync::invoices {

void Recupero_Fatture(frame::Context& ctx, int n);

}  // namespace cassasync::invoices
