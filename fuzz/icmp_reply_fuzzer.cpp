// The echo reply recognition on any packet a socket may hand over: classify must not
// read past the packet, and only a packet echoing our own request may count as its reply.
#include <cstdint>
#include <vector>

#include "fuzz_input.h"
#include "platform/icmp_echo.h"

using namespace cassasync;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    platform::icmp::Expected expected;
    expected.id = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
    expected.sequence = static_cast<std::uint16_t>(data[2] << 8 | data[3]);
    expected.match_id = data[4] & 1;
    expected.with_ip_header = data[4] & 2;
    // An exact copy on the heap, so that AddressSanitizer sees any read past its end.
    const std::vector<unsigned char> packet(data + 5, data + size);
    const auto kind = platform::icmp::classify(packet.data(), packet.size(), expected);
    if (kind == platform::icmp::Packet::kReply) {
        // A reply carries at least the 8-byte header (after the IP header on a raw socket),
        // type 0 and our sequence.
        std::size_t at = 0;
        if (expected.with_ip_header) {
            if (packet.empty()) fuzzing::fault("a reply without an IP header");
            at = static_cast<std::size_t>(packet[0] & 0x0f) * 4;
        }
        if (packet.size() < at + 8) fuzzing::fault("a reply shorter than an ICMP header");
        if (packet[at] != 0) fuzzing::fault("a reply that is not of type echo reply");
        const auto sequence = static_cast<std::uint16_t>(packet[at + 6] << 8 | packet[at + 7]);
        if (sequence != expected.sequence) fuzzing::fault("a reply to another sequence number");
    }
    // Our own request, looped back, is never taken for the reply.
    const auto request = platform::icmp::echo_request(expected.id, expected.sequence);
    platform::icmp::Expected datagram = expected;
    datagram.with_ip_header = false;
    if (platform::icmp::classify(request.data(), request.size(), datagram) == platform::icmp::Packet::kReply) {
        fuzzing::fault("our own request read as its reply");
    }
    return 0;
}
