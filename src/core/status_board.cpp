#include "core/status_board.h"

namespace cassasync::core {

void StatusBoard::set_lamp(int n, std::uint32_t colour) {
    if (n < 1 || n > kMaxRegisters) return;
    std::lock_guard lock(mutex_);
    s_.registers[static_cast<std::size_t>(n)].lamp = colour;
    ++s_.version;
}

void StatusBoard::set_held(int n, int count) {
    if (n < 1 || n > kMaxRegisters) return;
    std::lock_guard lock(mutex_);
    s_.registers[static_cast<std::size_t>(n)].held = count;
    ++s_.version;
}

void StatusBoard::set_counters(int n, const std::string& pun, const std::string& num) {
    if (n < 1 || n > kMaxRegisters) return;
    std::lock_guard lock(mutex_);
    s_.registers[static_cast<std::size_t>(n)].pun = pun;
    s_.registers[static_cast<std::size_t>(n)].num = num;
    ++s_.version;
}

void StatusBoard::set_register_count(int count) {
    std::lock_guard lock(mutex_);
    s_.nrposw = std::to_string(count);
    s_.served = count < 0 ? 0 : (count > kMaxRegisters ? kMaxRegisters : count);
    ++s_.version;
}

void StatusBoard::set_status_text(const std::string& text) {
    std::lock_guard lock(mutex_);
    s_.txt_status = text;
    ++s_.version;
}

void StatusBoard::set_last_cycle(const std::string& text) {
    std::lock_guard lock(mutex_);
    s_.last_cycle = text;
    ++s_.version;
}

StatusSnapshot StatusBoard::snapshot() const {
    std::lock_guard lock(mutex_);
    return s_;
}

}  // namespace cassasync::core
