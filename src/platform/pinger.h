// One ICMP echo to a dotted IPv4 address, the reachability probe of a register.
// The real pinger sends the 9-byte payload "Echo This" with a 200 ms time-out, over an
// unprivileged datagram ICMP socket where the kernel allows it, else a raw socket.
// status() is 0 when the echo came back; any failure (no socket, no reply, time-out,
// address 0) is a non-zero status. Safe to call from any one thread at a time.
#pragma once

#include <cstdint>
#include <string>

namespace cassasync::platform {

class Pinger {
public:
    virtual ~Pinger() = default;
    // address in network byte order as laid out in memory (first octet lowest byte).
    virtual std::uint32_t echo(std::uint32_t address) = 0;
};

class IcmpPinger : public Pinger {
public:
    explicit IcmpPinger(int timeout_ms = 200);
    std::uint32_t echo(std::uint32_t address) override;
    // Whether this process may open any kind of ICMP socket (tests skip without it).
    static bool available();

private:
    int timeout_ms_;
    std::uint16_t sequence_;  // starts at random so that pingers in one process differ
};

constexpr std::uint32_t kEchoSuccess = 0;
constexpr std::uint32_t kEchoFailed = 11050;  // a general failure status, never 0

}  // namespace cassasync::platform
