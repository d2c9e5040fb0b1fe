// Queued cards (central `cartetx` rows of one register) sent to the register's
// `tessere` table with a new sequence number and the holder's data and balance.
#pragma once

#include "core/step_context.h"

namespace cassasync::loyalty {

void Trasmetti_Tessere(core::StepContext& ctx, int n);

}  // namespace cassasync::loyalty
