// Card totals kept in step between central and register customers, and the
// end-of-cycle pass over central customers received in the cycle.
#pragma once

#include "core/step_context.h"

namespace cassasync::loyalty {

void Ricevi_Totali_Tessere(core::StepContext& ctx, int n);  // register -> central `totcard`
void Invia_Totali_Tessere(core::StepContext& ctx, int n);   // central "X" totals -> register
void Consolida_Stato_Clienti(core::StepContext& ctx);       // `stat_t` "R" -> "T", "C" removed

}  // namespace cassasync::loyalty
