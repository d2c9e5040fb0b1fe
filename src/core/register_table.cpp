#include "core/register_table.h"

#include <stdexcept>

namespace cassasync::core {

const std::string& RegisterTable::register_entry(int n) const {
    if (n < 0 || n > kMaxRegisters) {
        throw std::out_of_range("register number " + std::to_string(n) + " is outside the register table (1 to " +
                                std::to_string(kMaxRegisters) + ")");
    }
    return Percorsi_Casse[static_cast<std::size_t>(n)];
}

}  // namespace cassasync::core
