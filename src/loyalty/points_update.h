// Loyalty points booked from the receipts: a movement of kind 23 (points earned) or 24
// (points redeemed) adds its points to the card holder's counter in `clienti`,
// recomputes the balance and marks the customer as changed, and is recorded once in the
// loyalty journal `movtessere` (one row per card, day, receipt, register and kind).
// Called by the receipt import inside its central transaction; the journal lives in the
// loyalty file attached as "fidel". Without a loyalty file only the customer changes.
#pragma once

#include <cstdint>
#include <string>

#include "core/register_vocabulary.h"
#include "data/database.h"
#include "data/value.h"
#include "platform/path_map.h"

namespace cassasync::loyalty {

using core::kPointsEarned;
using core::kPointsRedeemed;
inline constexpr std::size_t kCardWidth = core::kCardNumberLength;
inline constexpr std::size_t kJournalNameWidth = 45;

// `tessera` is searched and stored exactly as given (the import passes 13 characters,
// blank-padded). `data` and `ora` are the receipt's date and time serials. `central` is
// the central connection; `paths` tells where the loyalty file is.
void Aggiorna_Punti(data::Database& central, const platform::PathMap& paths, const std::string& tessera,
                    std::int16_t tipo, std::int16_t punti, const data::Value& data, const data::Value& ora,
                    std::int16_t numcassa, std::int32_t numsco);

}  // namespace cassasync::loyalty
