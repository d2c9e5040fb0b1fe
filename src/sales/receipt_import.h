// The receipt import: a register's waiting receipt lines (`movimenti` with `bflag3`
// "S" and `aggiornogiacenza` "N") become rows of the register's daily sales document,
// with stock, last-sale, barcode and points bookkeeping, each line taken exactly once.
// Ends with the closing check of the register.
#pragma once

#include "frame/context.h"

namespace cassasync::sales {

void Travaso_Scontrini(frame::Context& ctx, int n);

}  // namespace cassasync::sales
