// Sales document numbers: one counter row per user, year and document type "VE" in the
// main database's `numeri`, created with the year's first number. Numbers are 16-bit:
// 32,767 is the last one a year can issue; asking for the next one fails and leaves the
// counter as it was. Called inside the receipt import's central transaction, so a number
// taken by a batch that rolls back is taken again by the next one.
#pragma once

#include <cstdint>

#include "core/settings.h"
#include "data/database.h"

namespace cassasync::sales {

inline constexpr std::int16_t kLastDocumentNumber = 32767;

// The next sales document number of `anno` for the settings' user, counted on the
// central connection; raises data::DbError when the year's numbers are exhausted or the
// stored counter is not a 16-bit number.
std::int16_t Prossimo_Numero(data::Database& central, const core::Settings& settings, int anno);

}  // namespace cassasync::sales
