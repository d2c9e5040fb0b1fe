// Article and barcode changes made at a register (register `codean` rows marked
// `flagagg` "A") taken into the main database: new barcodes become new articles,
// known register-created barcodes are updated; each handled row is marked "T". Runs
// only when `aaa` holds a number other than 0. Database errors are raised to the caller.
#pragma once

#include "core/step_context.h"

namespace cassasync::masterdata {

void Aggiorna_Articoli(core::StepContext& ctx, int n);

}  // namespace cassasync::masterdata
