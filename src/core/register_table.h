// The table of the registers the service serves: each register's configured path
// (Percorsi_Casse, filled by start-up), its done mark for the running pass
// (Casse_Elaborate) and the bounds every register number is checked against. Part of
// the step context; only the worker thread touches it after start-up.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "core/status_board.h"

namespace cassasync::core {

struct RegisterTable {
    // Sized for every register from the start, so that a cycle after a failed start-up
    // still finds a mark for register 1.
    RegisterTable() { Casse_Elaborate.assign(kMaxRegisters + 1, false); }

    std::array<std::string, kMaxRegisters + 1> Percorsi_Casse;  // index 0 unused
    std::vector<bool> Casse_Elaborate;

    // Register n's configured path; throws std::out_of_range outside 0..kMaxRegisters.
    const std::string& register_entry(int n) const;

    // Registers actually served: a configured count bounded to the ten the system has.
    static int served(int configured) { return configured < 0 ? 0 : (configured > kMaxRegisters ? kMaxRegisters : configured); }
};

}  // namespace cassasync::core
