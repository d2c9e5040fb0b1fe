// Primary and secondary barcodes of an article: of all its rows in `codean` exactly one
// is "P" (the one most recently stamped as sold, and among those stamped the same day
// the one with the largest sold quantity), the others "S". Called by the receipt row
// resolution each time one of the article's barcodes is sold, just before that barcode
// is stamped, so a change of primary barcode shows at the article's next sale.
#pragma once

#include <cstdint>

#include "data/database.h"

namespace cassasync::sales {

inline constexpr const char* kPrimaryBarcode = "P";
inline constexpr const char* kSecondaryBarcode = "S";

void SistemaPrimarioSecondario(data::Database& main, std::int32_t codare);

}  // namespace cassasync::sales
