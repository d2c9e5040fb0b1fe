// Article and barcode changes made at a register (register `codean` rows marked
// `flagagg` "A") taken into the main database: new barcodes become new articles,
// known register-created barcodes are updated; each handled row is marked "T". Ends in
// the customer import when `bbb` reads 0. Database errors are raised to the caller.
#pragma once

#include "frame/context.h"

namespace cassasync::masterdata {

void Aggiorna_Articoli(frame::Context& ctx, int n);

}  // namespace cassasync::masterdata
