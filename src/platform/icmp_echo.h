// The packet side of the ICMP echo, apart from the sockets, so that building a request
// and recognising its reply can be checked without a network: the pinger builds one
// request, then reads packets from its socket until the matching reply or the deadline.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace cassasync::platform::icmp {

inline constexpr char kPayload[] = "Echo This";
inline constexpr std::size_t kPayloadSize = sizeof kPayload - 1;  // 9 bytes, no terminator

// Internet checksum (RFC 1071) over `size` bytes.
std::uint16_t checksum(const unsigned char* data, std::size_t size);

// An echo request: 8-byte header with id and sequence, then the payload; checksummed.
std::vector<unsigned char> echo_request(std::uint16_t id, std::uint16_t sequence);

struct Expected {
    std::uint16_t id = 0;
    std::uint16_t sequence = 0;
    // A datagram ICMP socket replaces the id with its own, so only raw sockets check it.
    bool match_id = true;
    // A raw socket hands over the IP header in front of the ICMP message.
    bool with_ip_header = false;
};

enum class Packet {
    kReply,      // the echo reply to our request
    kRefused,    // an ICMP error (unreachable, time exceeded) about our request
    kUnrelated,  // anything else: someone else's traffic, our own looped-back request
};

Packet classify(const unsigned char* data, std::size_t size, const Expected& expected);

// Reads packets from `fd` until our reply, an error about our request or `deadline`.
// Packets from an IPv4 sender other than `address` (network order) are skipped.
// Returns true only for the reply.
bool await_reply(int fd, std::uint32_t address, const Expected& expected,
                 std::chrono::steady_clock::time_point deadline);

}  // namespace cassasync::platform::icmp
