// What the card steps (reads, transmission, totals) share: the `escludocaselle` switch
// that turns the card exchange with the registers off, the register path of the card
// tables and the plain decimal text of a value in their log lines. Header-only, no
// state. A card step's failure is raised to the cycle's failure policy.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/text.h"
#include "core/register_table.h"
#include "core/settings.h"
#include "data/value.h"

namespace cassasync::loyalty {

// The card reads and the card transmission run unless `escludocaselle` holds exactly 1
// (the number at the start of the text; an empty or non-numeric text holds 0).
inline bool card_exchange_on(const core::Settings& settings) {
    return base::leading_number_text(settings.escludocaselle) != "1";
}

// `Percorsi_Casse`(n): the path of the register's card tables; "" for a number outside
// 1..10, which no reachability check passes.
inline std::string card_register_path(const core::RegisterTable& table, int n) {
    if (n < 1 || n > core::kMaxRegisters) return {};
    return table.Percorsi_Casse[static_cast<std::size_t>(n)];
}

// `Casse_Elaborate`(n) set: the card step has dealt with the register in this cycle.
inline void mark_register_done(core::RegisterTable& table, int n) {
    if (n >= 0 && static_cast<std::size_t>(n) < table.Casse_Elaborate.size()) {
        table.Casse_Elaborate[static_cast<std::size_t>(n)] = true;
    }
}

// Characters `from` (1-based) to `from + count - 1` of a text, counting characters.
inline std::string mid_characters(const std::string& s, std::size_t from, std::size_t count) {
    return base::mid_chars(s, from, count);
}

// A number as the log lines write it: plain decimal, a whole number without ".0".
inline std::string log_number(const data::Value& v) { return data::to_text(v); }

}  // namespace cassasync::loyalty
