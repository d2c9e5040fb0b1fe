// Card totals kept in step between central and register customers, and the
// end-of-cycle pass over central customers received in the cycle.
#pragma once

#include "frame/context.h"

namespace cassasync::loyalty {

void Ricevi_Totali_Tessere(frame::Context& ctx, int n);  // register -> central `totcard`
void Invia_Totali_Tessere(frame::Context& ctx, int n);   // central "X" totals -> register
void Consolida_Stato_Clienti(frame::Context& ctx);       // `stat_t` "R" -> "T", "C" removed

}  // namespace cassasync::loyalty
