// What the status window shows, kept apart from the window so that the worker thread
// can update it while the window reads it: a lamp colour per register, the two
// counters per register, the register count and the status text. All members are
// guarded by one mutex; the window takes a snapshot on each repaint.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace cassasync::core {

inline constexpr int kMaxRegisters = 10;

// 24-bit colours with red in the low byte, as the lamps are specified.
inline constexpr std::uint32_t kLampGreen = 65280;
inline constexpr std::uint32_t kLampRed = 255;

struct RegisterStatus {
    std::optional<std::uint32_t> lamp;  // none: never checked (neutral colour)
    std::string pun = "0000000";        // points taken by the last card-read call
    std::string num = "0000000";        // readings taken by the last card-read call
    int held = 0;                       // rows held at the register (data/held_rows.h)
};

struct StatusSnapshot {
    std::array<RegisterStatus, kMaxRegisters + 1> registers;  // index 0 unused
    std::string nrposw;       // register count, shown at the end of start-up
    int served = 0;           // registers whose lamps blink
    std::string txt_status;
    std::string last_cycle;   // one-line summary of the last cycle (console and window)
    std::uint64_t version = 0;
};

class StatusBoard {
public:
    void set_lamp(int n, std::uint32_t colour);
    void set_counters(int n, const std::string& pun, const std::string& num);
    void set_held(int n, int count);
    void set_register_count(int count);  // nrposw and the number of blinking lamps
    void set_status_text(const std::string& text);
    void set_last_cycle(const std::string& text);
    StatusSnapshot snapshot() const;

private:
    mutable std::mutex mutex_;
    StatusSnapshot s_;
};

}  // namespace cassasync::core
